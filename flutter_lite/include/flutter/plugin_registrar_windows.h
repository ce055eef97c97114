// Windows plugin registrar: adds the view and top-level window procedure delegates.
//
// Threading: platform thread only. The engine is headless, so GetView() is null.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_PLUGIN_REGISTRAR_WINDOWS_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_PLUGIN_REGISTRAR_WINDOWS_H_

#include <flutter_windows.h>
#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "flutter_view.h"
#include "plugin_registrar.h"

namespace flutter {

// Sees the top-level window's messages; returning a value consumes the message.
using WindowProcDelegate =
    std::function<std::optional<LRESULT>(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam)>;

class PluginRegistrarWindows : public PluginRegistrar {
  public:
    explicit PluginRegistrarWindows(FlutterDesktopPluginRegistrarRef core_registrar)
        : PluginRegistrar(core_registrar) {
        FlutterDesktopViewRef implicit_view = FlutterDesktopPluginRegistrarGetView(core_registrar);
        if (implicit_view) {
            implicit_view_ = std::make_unique<FlutterView>(implicit_view);
        }
    }

    virtual ~PluginRegistrarWindows() {
        // Plugins first: they may still unregister their delegates.
        ClearPlugins();
        if (!window_proc_delegates_.empty()) {
            // The engine must not keep a pointer to this object.
            FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
                registrar(), PluginRegistrarWindows::OnTopLevelWindowProc);
        }
        window_proc_delegates_.clear();
    }

    PluginRegistrarWindows(PluginRegistrarWindows const&) = delete;
    PluginRegistrarWindows& operator=(PluginRegistrarWindows const&) = delete;

    // DEPRECATED: Use GetViewById. Null when the application has no implicit view.
    FlutterView* GetView() { return implicit_view_.get(); }

    std::shared_ptr<FlutterView> GetViewById(FlutterViewId view_id) const {
        FlutterDesktopViewRef view = FlutterDesktopPluginRegistrarGetViewById(registrar(), view_id);
        if (!view) {
            return nullptr;
        }
        return std::make_shared<FlutterView>(view);
    }

    // Returns an id (from 1) for UnregisterTopLevelWindowProcDelegate.
    int RegisterTopLevelWindowProcDelegate(WindowProcDelegate delegate) {
        if (window_proc_delegates_.empty()) {
            FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
                registrar(), PluginRegistrarWindows::OnTopLevelWindowProc, this);
        }
        int delegate_id = next_window_proc_delegate_id_++;
        window_proc_delegates_.emplace(delegate_id, std::move(delegate));
        return delegate_id;
    }

    void UnregisterTopLevelWindowProcDelegate(int proc_id) {
        if (window_proc_delegates_.erase(proc_id) == 0) {
            return;
        }
        if (window_proc_delegates_.empty()) {
            FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
                registrar(), PluginRegistrarWindows::OnTopLevelWindowProc);
        }
    }

  private:
    static bool OnTopLevelWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                                     void* user_data, LRESULT* result) {
        return reinterpret_cast<PluginRegistrarWindows*>(user_data)->OnTopLevelWindowProc(
            hwnd, message, wparam, lparam, result);
    }

    bool OnTopLevelWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT* result) {
        std::optional<LRESULT> optional_result;
        for (const auto& pair : window_proc_delegates_) {
            optional_result = pair.second(hwnd, message, wparam, lparam);
            if (optional_result) {
                break;
            }
        }
        if (optional_result && result) {
            *result = *optional_result;
        }
        return optional_result.has_value();
    }

    std::unique_ptr<FlutterView> implicit_view_;
    std::map<int, WindowProcDelegate> window_proc_delegates_;
    int next_window_proc_delegate_id_ = 1;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_PLUGIN_REGISTRAR_WINDOWS_H_

// Windows-specific part of the embedder's C API.
//
// This embedder is headless: there is no Flutter view, so the view queries return null, and
// top-level window procedure delegates are recorded but never called (there is no top-level
// window whose messages they could see).
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_WINDOWS_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_WINDOWS_H_

#include <dxgi.h>
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_plugin_registrar.h"

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterDesktopView* FlutterDesktopViewRef;

typedef int64_t FlutterDesktopViewId;

typedef bool (*FlutterDesktopWindowProcCallback)(HWND /* hwnd */, UINT /* uMsg */,
                                                 WPARAM /*wParam*/, LPARAM /* lParam*/,
                                                 void* /* user data */, LRESULT* result);

FLUTTER_EXPORT HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);

FLUTTER_EXPORT IDXGIAdapter* FlutterDesktopViewGetGraphicsAdapter(FlutterDesktopViewRef view);

// DEPRECATED: use FlutterDesktopPluginRegistrarGetViewById. Null when headless.
FLUTTER_EXPORT FlutterDesktopViewRef
FlutterDesktopPluginRegistrarGetView(FlutterDesktopPluginRegistrarRef registrar);

FLUTTER_EXPORT FlutterDesktopViewRef FlutterDesktopPluginRegistrarGetViewById(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopViewId view_id);

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data);

FLUTTER_EXPORT void FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate);

FLUTTER_EXPORT UINT FlutterDesktopGetDpiForHWND(HWND hwnd);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_WINDOWS_H_

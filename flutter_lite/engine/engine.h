// The in-process engine behind flutter_windows.dll: a platform thread with a Windows message loop,
// the channel routing between the Dart side and plugin handlers, and the registrars.
//
// Threading: every callback into plugin or Dart-side code runs on the platform thread and never
// under one of the engine's locks. The public methods may be called from any thread unless noted.
#pragma once

#include <windows.h>

#include <flutter_lite_engine.h>
#include <flutter_messenger.h>
#include <flutter_plugin_registrar.h>
#include <flutter_windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace flutter_lite {
class Engine;
}  // namespace flutter_lite

// Reference-counted so that a plugin's pending reply can outlive the engine safely: once the
// engine stops, |engine| is null; the client wrapper then drops replies (it checks availability
// under the lock), while setting a handler or sending is fatal, as in the real embedder.
struct FlutterDesktopMessenger {
    std::atomic<long> references{1};
    // Recursive: the client wrapper holds it across IsAvailable and SendResponse, and
    // SendResponse takes it again itself.
    std::recursive_mutex mutex;
    flutter_lite::Engine* engine = nullptr;  // Guarded by |mutex|.
};

// Owned by the engine; valid until it is destroyed.
struct FlutterDesktopPluginRegistrar {
    flutter_lite::Engine* engine = nullptr;
    std::string name;
    // Guarded by the engine's lock.
    std::vector<FlutterDesktopOnPluginRegistrarDestroyed> destruction_handlers;
    std::vector<std::pair<FlutterDesktopWindowProcCallback, void*>> window_proc_delegates;
};

struct FlutterDesktopTextureRegistrar {
    flutter_lite::Engine* engine = nullptr;
};

namespace flutter_lite {

// Message bytes copied out of the sender's buffer, wiped when the last holder lets go: channel
// messages carry profiles and passwords.
class WipedBytes {
  public:
    WipedBytes(const uint8_t* data, size_t size);
    ~WipedBytes();
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;

    // Null for an empty message, as the embedder reports one.
    const uint8_t* data() const { return bytes_.empty() ? nullptr : bytes_.data(); }
    size_t size() const { return bytes_.size(); }

  private:
    std::vector<uint8_t> bytes_;
};

class Engine {
  public:
    // Starts the platform thread; null if it could not be started within 10 seconds.
    static Engine* Start();

    // Stops (see FlutterLiteEngineDestroy) and joins the platform thread. Not on that thread.
    ~Engine();

    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    DWORD platform_thread_id() const { return thread_id_; }
    FlutterDesktopMessengerRef messenger() const { return messenger_; }
    FlutterDesktopTextureRegistrarRef texture_registrar() { return &texture_registrar_; }

    FlutterDesktopPluginRegistrarRef RegistrarFor(const std::string& plugin_name);
    void AddDestructionHandler(FlutterDesktopPluginRegistrarRef registrar,
                               FlutterDesktopOnPluginRegistrarDestroyed handler);
    void AddWindowProcDelegate(FlutterDesktopPluginRegistrarRef registrar,
                               FlutterDesktopWindowProcCallback delegate, void* user_data);
    void RemoveWindowProcDelegate(FlutterDesktopPluginRegistrarRef registrar,
                                  FlutterDesktopWindowProcCallback delegate);

    FlutterLitePluginLoadResult LoadPlugin(const wchar_t* library_path, const char* plugin_class);

    // |task| runs on the platform thread; false if the engine is stopping.
    bool PostTask(std::function<void()> task);

    // Plugin side (reached through the messenger while the engine runs).
    void SetPluginHandler(const std::string& channel, FlutterDesktopMessageCallback callback,
                          void* user_data);
    bool SendToDart(const char* channel, const uint8_t* message, size_t size,
                    FlutterDesktopBinaryReply reply, void* user_data);
    void RespondToDart(const FlutterDesktopMessageResponseHandle* handle, const uint8_t* data,
                       size_t size);

    // Dart side.
    bool SendFromDart(const char* channel, const uint8_t* message, size_t size,
                      FlutterLiteDartReplyCallback reply, void* user_data);
    void SetDartHandler(const std::string& channel, FlutterLiteDartMessageHandler handler,
                        void* user_data);
    bool RespondToPlugin(FlutterLiteDartResponseRef response, const uint8_t* data, size_t size);

  private:
    // A queued unit of platform-thread work. |stopping| is true when the engine drains its queue
    // on the way out: work that would reach plugin or Dart handlers is then skipped.
    using Task = std::function<void(bool stopping)>;

    struct PluginHandler {
        FlutterDesktopMessageCallback callback = nullptr;
        void* user_data = nullptr;
    };
    struct DartHandler {
        FlutterLiteDartMessageHandler handler = nullptr;
        void* user_data = nullptr;
    };
    struct PendingDartSend {
        FlutterLiteDartReplyCallback reply = nullptr;
        void* user_data = nullptr;
    };
    struct PendingPluginSend {
        FlutterDesktopBinaryReply reply = nullptr;
        void* user_data = nullptr;
    };

    Engine();

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void RunPlatformThread(std::function<void(bool)> on_ready);
    bool Enqueue(Task task);
    void RunQueuedTasks();
    void StopOnPlatformThread();
    void DispatchToPlugin(uint64_t serial, const std::string& channel,
                          const std::shared_ptr<WipedBytes>& message);
    void DispatchToDart(uint64_t serial, const std::string& channel,
                        const std::shared_ptr<WipedBytes>& message);

    FlutterDesktopMessenger* messenger_;
    FlutterDesktopTextureRegistrar texture_registrar_;
    HWND window_ = nullptr;  // Platform thread's message-only window; set before Start returns.
    DWORD thread_id_ = 0;
    std::thread thread_;

    std::mutex mutex_;
    bool accepting_ = true;
    std::deque<Task> tasks_;
    std::map<std::string, PluginHandler> plugin_handlers_;
    std::map<std::string, DartHandler> dart_handlers_;
    std::map<uint64_t, PendingDartSend> pending_dart_sends_;
    std::map<uint64_t, PendingPluginSend> pending_plugin_sends_;
    std::vector<std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars_;
};

// Ends the process with FLUTTER_LITE_FATAL_EXIT_CODE after writing the embedder's check message
// "Messenger must reference a running engine to <what>" to standard error.
[[noreturn]] void FatalMisuse(const char* what);

// Handles are serial numbers that are never reused, so a stale or repeated handle can never
// answer somebody else's message.
uint64_t NextSerial();

}  // namespace flutter_lite

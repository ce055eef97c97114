// Helpers for end-to-end tests of the Flutter plugin: the plugin DLL loaded into an in-process
// engine the way an application loads it, the Dart side of its channels (host method calls with
// their answers, onNativeEvent listening), the agents the plugin starts, and the plugin's log.
//
// Every wait takes a limit; nothing here blocks without one.
#pragma once

#include <windows.h>

#include <flutter/encodable_value.h>
#include <flutter_lite_engine.h>

#include <any>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumet::test {

// bin\lumet_windows_vpn_plugin.dll and bin\lumetctl.exe, beside the test executables.
std::wstring PluginDllPath();
std::wstring LumetctlPath();
// C:\ProgramData\Orrinfield\vpn\logs\plugin.log in the prefix.
std::wstring PluginLogPath();

// Ends every OrrinfieldVPNAgent.exe of this prefix (the plugin starts them detached) and waits
// up to `timeout_ms` for them to be gone. Returns how many were ended.
int EndAgentProcesses(DWORD timeout_ms = 5000);
// Process ids of the running OrrinfieldVPNAgent.exe processes.
std::vector<DWORD> AgentProcessIds();

// Runs `command_line` (the program's quoted path first) with standard output and standard error
// captured together, for up to `timeout_ms`. The exit code, or nothing when the program could not
// be started or did not end in time (it is then terminated).
std::optional<DWORD> RunCaptured(const std::wstring& command_line, DWORD timeout_ms,
                                 std::string* output);

// A host method's answer taken apart.
struct HostAnswer {
    bool answered = false;  // an answer arrived within the limit
    bool ok = false;        // a one-element success list
    flutter::EncodableValue value;
    std::string code;  // error code when !ok
    std::string message;
    size_t list_size = 0;
};

// The custom value inside `value`, or null.
template <typename T>
const T* CustomAs(const flutter::EncodableValue& value) {
    const auto* custom = std::get_if<flutter::CustomEncodableValue>(&value);
    return custom ? std::any_cast<T>(&static_cast<const std::any&>(*custom)) : nullptr;
}

// One event as Dart received it.
struct ReceivedEvent {
    std::string kind;
    std::string detail;
    int64_t timestamp_ms = 0;
    DWORD thread = 0;  // the thread the Dart side got it on
};

// An engine with the plugin registered. Destroying it is the application window closing.
class PluginHost {
  public:
    PluginHost();
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Loads the DLL with LoadLibraryExW, finds the exported registration function with
    // GetProcAddress and runs it on the platform thread with the registrar for
    // "LumetWindowsVpnPluginCApi". False when any step fails.
    bool Load(const std::wstring& dll_path);

    // Sends a host method call from the Dart side and waits up to `timeout_ms` for the answer.
    HostAnswer Call(const std::string& method,
                    const flutter::EncodableValue& message = flutter::EncodableValue(),
                    DWORD timeout_ms = 90000);

    // A call in flight: Send now, Wait later (for concurrent calls).
    class Pending {
      public:
        HostAnswer Wait(DWORD timeout_ms);

      private:
        friend class PluginHost;
        struct State {
            std::mutex mutex;
            std::condition_variable arrived;
            bool done = false;
            std::vector<uint8_t> bytes;
            bool empty = false;
        };
        std::shared_ptr<State> state_;
    };
    Pending Send(const std::string& method,
                 const flutter::EncodableValue& message = flutter::EncodableValue());

    // Answers onNativeEvent with an empty list and records each event.
    void ListenForEvents();
    std::vector<ReceivedEvent> Events();
    // Waits until at least `count` events arrived.
    bool WaitForEvents(size_t count, DWORD timeout_ms);

    // Stops the engine (plugin destruction included) and returns how long that took.
    std::chrono::milliseconds Destroy();

    DWORD PlatformThread() const;

  private:
    static void OnEvent(FlutterLiteEngineRef engine, const char* channel, const uint8_t* message,
                        size_t size, FlutterLiteDartResponseRef response, void* user_data);

    FlutterLiteEngineRef engine_ = nullptr;
    std::mutex events_mutex_;
    std::condition_variable events_changed_;
    std::vector<ReceivedEvent> events_;
    // Pending sends that the engine may still answer after a test gave up on them.
    std::vector<std::shared_ptr<Pending::State>> keep_alive_;
};

}  // namespace lumet::test

// The Dart side of one plugin: loads lumet_windows_vpn_plugin.dll into an in-process engine
// (flutter_lite) the way an application does, sends host method calls over its channels and
// waits for their answers; and the console helpers lumetctl prints with.
#pragma once

#include <windows.h>

#include <flutter/encodable_value.h>
#include <flutter_lite_engine.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "cli/lumetctl_format.h"

namespace lumetctl {

// Longer than any host method may take: a WireGuard start waits up to 60 s for the service, and
// a connect may first launch the agent.
inline constexpr std::chrono::milliseconds kAnswerLimit = std::chrono::seconds(150);

// Writes UTF-8 text: as wide text to a console (so that it shows whatever the console's code
// page), as bytes otherwise. Flushed at once.
void Print(FILE* stream, const std::string& text);
// Whether standard output is a console (not a pipe or a file).
bool StdoutIsConsole();
// Now, and local time through the system's time zone rules.
TextClock SystemTextClock();

std::wstring PluginBesideThisProgram();
std::wstring FullPath(const std::wstring& path);

class PluginSession {
  public:
    PluginSession() = default;
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    // Loads the plugin library and registers it on the platform thread. False with `*error`
    // when it cannot be loaded or has no registration function.
    bool Load(const std::wstring& path, std::string* error);

    // Sends `message` on the host method's channel and waits up to `limit` for the answer,
    // calling `tick` about every 100 ms meanwhile. Nothing when the message could not be sent
    // or no answer came in time (`*timed_out` then tells which); an answer still on its way
    // after that is dropped safely.
    std::optional<flutter::EncodableValue> Call(const std::string& method,
                                                const flutter::EncodableValue& message,
                                                std::chrono::milliseconds limit = kAnswerLimit,
                                                const std::function<void()>& tick = {},
                                                bool* timed_out = nullptr);

    using EventHandler = void (*)(FlutterLiteEngineRef, const char*, const uint8_t*, size_t,
                                  FlutterLiteDartResponseRef, void*);
    void ListenForEvents(EventHandler handler, void* user_data);

  private:
    FlutterLiteEngineRef engine_ = nullptr;
};

}  // namespace lumetctl

// lumetctl: drives the back end through the plugin DLL the way a Flutter application does. It
// loads lumet_windows_vpn_plugin.dll, registers it with an in-process engine (flutter_lite), and
// plays the Dart side: it sends host method calls over the plugin's channels and prints the
// answers, listens on onNativeEvent for the events command, waits for a tunnel with --wait, and
// checks the whole installation with doctor.
#include <windows.h>

#include <flutter/encodable_value.h>
#include <flutter_lite_engine.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "cli/doctor_win.h"
#include "cli/lumetctl_format.h"
#include "cli/lumetctl_wait.h"
#include "cli/plugin_session_win.h"
#include "common/secure_buffer.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "plugin/host_api.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
using lumet::common::SecureString;
using lumet::common::WideToUtf8;
using lumetctl::Command;
using lumetctl::PluginSession;
using lumetctl::Print;
namespace lv = lumet_windows_vpn;

enum ExitCode { kAnswered = 0, kErrorAnswer = 1, kUsage = 2, kNoAnswer = 3 };

const flutter::StandardMessageCodec& Codec() {
    return lv::LumetWindowsVpnHostApi::GetCodec();
}

// The whole file, as secret text (a WireGuard configuration or an OpenVPN profile).
bool ReadSecretFile(const std::wstring& path, SecureString* text) {
    const lumet::common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                       nullptr, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    bool ok = true;
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) {
            ok = false;
            break;
        }
        if (read == 0) {
            break;
        }
        text->str().append(buffer, read);
    }
    lumet::common::SecureZero(buffer, sizeof(buffer));
    return ok;
}

// One line of password: from the console without echo, or from standard input otherwise.
bool ReadPassword(SecureString* password) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        Print(stderr, "Password: ");
        SetConsoleMode(input, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT);
        std::vector<wchar_t> wide(1024, L'\0');
        DWORD read = 0;
        const BOOL ok =
            ReadConsoleW(input, wide.data(), static_cast<DWORD>(wide.size()), &read, nullptr);
        SetConsoleMode(input, mode);
        Print(stderr, "\n");
        if (ok) {
            std::wstring_view line(wide.data(), read);
            while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) {
                line.remove_suffix(1);
            }
            // Sized once by the converter; zeroed here once copied into the zeroing string.
            std::string utf8 = WideToUtf8(line);
            password->str() = utf8;
            lumet::common::WipeString(utf8);
        }
        lumet::common::SecureZero(wide.data(), wide.size() * sizeof(wchar_t));
        return ok;
    }
    char ch = 0;
    DWORD read = 0;
    while (ReadFile(input, &ch, 1, &read, nullptr) && read == 1 && ch != '\n') {
        if (ch != '\r') {
            password->str().push_back(ch);
        }
    }
    ch = 0;
    return true;
}

// Events arriving on onNativeEvent while the events command listens.
struct EventPrinter {
    bool json = false;
    static void Handler(FlutterLiteEngineRef engine, const char*, const uint8_t* message,
                        size_t message_size, FlutterLiteDartResponseRef response, void* user_data) {
        auto* self = static_cast<EventPrinter*>(user_data);
        auto decoded = Codec().DecodeMessage(message, message_size);
        const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
        if (list != nullptr && !list->empty()) {
            Print(stdout,
                  self->json
                      ? lumetctl::FormatJson(list->at(0)) + "\n"
                      : lumetctl::FormatEventText(list->at(0), lumetctl::SystemTextClock()) + "\n");
        }
        const auto reply = Codec().EncodeMessage(EncodableValue(EncodableList{}));
        FlutterLiteEngineRespondFromDart(engine, response, reply->data(), reply->size());
    }
};

void PrintValue(const Command& command, const EncodableValue& value) {
    Print(stdout, command.json ? lumetctl::FormatJson(value) + "\n"
                               : lumetctl::FormatText(value, lumetctl::SystemTextClock()));
}

// Sends one call; a call that gets no answer within the limit ends the program (the engine
// would still answer into it).
std::optional<EncodableValue> CallOrExit(PluginSession& session, const std::string& method,
                                         const EncodableValue& message,
                                         std::chrono::milliseconds limit = lumetctl::kAnswerLimit,
                                         const std::function<void()>& tick = {}) {
    bool timed_out = false;
    auto reply = session.Call(method, message, limit, tick, &timed_out);
    if (timed_out) {
        Print(stderr, "lumetctl: no answer from " + method + "\n");
        ExitProcess(kNoAnswer);
    }
    return reply;
}

int Report(const Command& command, const std::optional<EncodableValue>& reply) {
    if (!reply) {
        Print(stderr, "lumetctl: " + command.name + ": no answer from the plugin\n");
        return kNoAnswer;
    }
    const lumetctl::HostReply host = lumetctl::ReadHostReply(*reply);
    switch (host.kind) {
        case lumetctl::HostReply::Kind::Value:
            if (command.name == "events") {
                return kAnswered;
            }
            PrintValue(command, host.value);
            return kAnswered;
        case lumetctl::HostReply::Kind::Error:
            if (command.json) {
                Print(stdout, "{\"error\":" + lumetctl::FormatJson(EncodableValue(host.code)) +
                                  ",\"message\":" +
                                  lumetctl::FormatJson(EncodableValue(host.message)) + "}\n");
            }
            Print(stderr, "lumetctl: " + command.name + " failed: " + host.code +
                              (host.message.empty() ? "" : " (" + host.message + ")") + "\n");
            return kErrorAnswer;
        default:
            Print(stderr, "lumetctl: " + command.name + ": unreadable answer\n");
            return kNoAnswer;
    }
}

// The progress of --wait on a console: one line rewritten in place while the state stays, a new
// line when it changes. Shows nothing when standard output is not a console or carries JSON.
class Progress {
  public:
    explicit Progress(bool shown) : shown_(shown), start_(GetTickCount64()) {}

    int64_t ElapsedMs() const { return static_cast<int64_t>(GetTickCount64() - start_); }

    void Show(const std::string& state_text) {
        if (!shown_) {
            return;
        }
        if (!last_.empty() && state_text != last_) {
            Print(stdout, "\n");
        }
        last_ = state_text;
        Print(stdout, "\r" + lumetctl::ProgressLine(ElapsedMs(), state_text));
    }
    void Finish() {
        if (shown_ && !last_.empty()) {
            Print(stdout, "\n");
        }
        last_.clear();
    }

  private:
    const bool shown_;
    const ULONGLONG start_;
    std::string last_;
};

// Polls `method` every 500 ms and judges each status with `judge` until the tunnel is up, has
// failed, or the wait runs out. `first` is the start's own answer.
template <typename Status, typename Judge>
int WaitForTunnel(PluginSession& session, const Command& command, Progress& progress,
                  const std::string& status_method, EncodableValue first, Judge judge) {
    const int64_t limit_ms = int64_t{command.wait_seconds} * 1000;
    EncodableValue current = std::move(first);
    for (;;) {
        const Status* status = lumetctl::CustomAs<Status>(current);
        if (status == nullptr) {
            progress.Finish();
            Print(stderr, "lumetctl: " + command.name + ": unreadable answer\n");
            return kNoAnswer;
        }
        const lumetctl::WaitStep step = judge(*status);
        if (step.verdict != lumetctl::WaitVerdict::Waiting) {
            progress.Finish();
            PrintValue(command, current);
            if (step.verdict == lumetctl::WaitVerdict::Up) {
                return kAnswered;
            }
            Print(stderr, "lumetctl: " + command.name + " failed: " + step.text + "\n");
            return kErrorAnswer;
        }
        progress.Show(step.text);
        if (progress.ElapsedMs() >= limit_ms) {
            progress.Finish();
            PrintValue(command, current);
            Print(stderr, "lumetctl: " + command.name + ": " +
                              lumetctl::TimedOutText(command.wait_seconds, step.text) + "\n");
            return kErrorAnswer;
        }
        Sleep(500);
        progress.Show(step.text);
        const auto reply = CallOrExit(session, status_method, EncodableValue());
        if (!reply) {
            progress.Finish();
            return Report(command, reply);
        }
        const lumetctl::HostReply host = lumetctl::ReadHostReply(*reply);
        if (host.kind != lumetctl::HostReply::Kind::Value) {
            progress.Finish();
            return Report(command, reply);
        }
        current = host.value;
    }
}

// Sends a start (wg-up, ovpn-up) and, with --wait, follows it until the tunnel is up or failed.
int Start(PluginSession& session, const Command& command, const EncodableValue& message) {
    if (!command.wait) {
        return Report(command, CallOrExit(session, command.method, message));
    }
    Progress progress(lumetctl::StdoutIsConsole() && !command.json);
    const std::string starting = command.name == "wg-up"
                                     ? "starting \xE2\x80\x94 the service brings the tunnel up"
                                     : "starting \xE2\x80\x94 the agent launches OpenVPN";
    progress.Show(starting);
    const auto limit = std::chrono::milliseconds(int64_t{command.wait_seconds} * 1000);
    bool timed_out = false;
    const auto reply = session.Call(
        command.method, message, limit, [&] { progress.Show(starting); }, &timed_out);
    if (timed_out) {
        progress.Finish();
        Print(stderr, "lumetctl: " + command.name + ": " +
                          lumetctl::TimedOutText(command.wait_seconds, starting) + "\n");
        // The start is still in flight and the engine would answer into it.
        ExitProcess(kErrorAnswer);
    }
    const lumetctl::HostReply host =
        reply ? lumetctl::ReadHostReply(*reply) : lumetctl::HostReply();
    if (!reply || host.kind != lumetctl::HostReply::Kind::Value) {
        progress.Finish();
        return Report(command, reply);
    }
    if (command.name == "wg-up") {
        return WaitForTunnel<lv::LumetWireGuardStatus>(
            session, command, progress, "wireGuardStatus", host.value, &lumetctl::JudgeWireGuard);
    }
    const auto* first = lumetctl::CustomAs<lv::LumetOpenVpnStatus>(host.value);
    const int64_t attempt = first != nullptr ? first->attempt() : -1;
    return WaitForTunnel<lv::LumetOpenVpnStatus>(
        session, command, progress, "getOpenVpnStatus", host.value,
        [attempt](const lv::LumetOpenVpnStatus& s) { return lumetctl::JudgeOpenVpn(s, attempt); });
}

int Run(const Command& command) {
    const std::wstring plugin = lumetctl::FullPath(
        command.plugin_path.empty() ? lumetctl::PluginBesideThisProgram() : command.plugin_path);
    if (command.name == "doctor") {
        const auto results = lumetctl::RunDoctor(plugin);
        Print(stdout, command.json ? lumetctl::FormatDoctorJson(results) + "\n"
                                   : lumetctl::FormatDoctorText(results));
        return lumetctl::AllPassed(results) ? kAnswered : kErrorAnswer;
    }

    PluginSession session;
    std::string error;
    if (!session.Load(plugin, &error)) {
        Print(stderr, "lumetctl: " + error + "\n");
        return kNoAnswer;
    }

    if (command.name == "wg-up") {
        SecureString config;
        if (!ReadSecretFile(command.args[0], &config)) {
            Print(stderr, "lumetctl: cannot read " + WideToUtf8(command.args[0]) + "\n");
            return kUsage;
        }
        EncodableValue message(EncodableList{EncodableValue(std::string(config.view()))});
        config.Wipe();
        const int code = Start(session, command, message);
        flutter::internal::WipeDecodedMessage(message);
        return code;
    }
    if (command.name == "ovpn-up") {
        SecureString profile;
        if (!ReadSecretFile(command.args[0], &profile)) {
            Print(stderr, "lumetctl: cannot read " + WideToUtf8(command.args[0]) + "\n");
            return kUsage;
        }
        SecureString password;
        if (!ReadPassword(&password)) {
            Print(stderr, "lumetctl: no password read\n");
            return kUsage;
        }
        EncodableValue message(EncodableList{EncodableValue(std::string(profile.view())),
                                             EncodableValue(WideToUtf8(command.args[1])),
                                             EncodableValue(std::string(password.view()))});
        profile.Wipe();
        password.Wipe();
        const int code = Start(session, command, message);
        flutter::internal::WipeDecodedMessage(message);
        return code;
    }
    if (command.name == "events") {
        EventPrinter printer{command.json};
        session.ListenForEvents(&EventPrinter::Handler, &printer);
        const int code = Report(command, CallOrExit(session, command.method, EncodableValue()));
        if (code != kAnswered) {
            return code;
        }
        Sleep(static_cast<DWORD>(std::wcstoul(command.args[0].c_str(), nullptr, 10)) * 1000);
        return kAnswered;
    }
    return Report(command, CallOrExit(session, command.method, EncodableValue()));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv, argv + argc);
    const Command command = lumetctl::ParseCommandLine(args);
    if (!command.error.empty()) {
        Print(stderr, "lumetctl: " + command.error + "\n" + lumetctl::UsageText());
        return kUsage;
    }
    return Run(command);
}

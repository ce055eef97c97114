// lumetctl: drives the back end through the plugin DLL the way a Flutter application does. It
// loads lumet_windows_vpn_plugin.dll, registers it with an in-process engine (flutter_lite), and
// plays the Dart side: it sends host method calls over the plugin's channels and prints the
// answers, and listens on onNativeEvent for the events command.
#include <windows.h>

#include <flutter/encodable_value.h>
#include <flutter_lite_engine.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/lumetctl_format.h"
#include "common/secure_buffer.h"
#include "common/utf.h"
#include "plugin/host_api.h"

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;
using lumet::common::SecureString;
using lumet::common::WideToUtf8;
using lumetctl::Command;

constexpr char kPluginClass[] = "LumetWindowsVpnPluginCApi";
// Longer than any host method may take: a WireGuard start waits up to 60 s for the service, and
// a connect may first launch the agent.
constexpr auto kAnswerLimit = std::chrono::seconds(150);

enum ExitCode { kAnswered = 0, kErrorAnswer = 1, kUsage = 2, kNoAnswer = 3 };

const flutter::StandardMessageCodec& Codec() {
    return lumet_windows_vpn::LumetWindowsVpnHostApi::GetCodec();
}

void Print(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

std::wstring PluginBesideThisProgram() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length < MAX_PATH ? length : 0);
    const size_t slash = text.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : text.substr(0, slash + 1)) +
           L"lumet_windows_vpn_plugin.dll";
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
}

// The whole file, as secret text (a WireGuard configuration or an OpenVPN profile).
bool ReadSecretFile(const std::wstring& path, SecureString* text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof(buffer), &read, nullptr)) {
            ok = false;
            break;
        }
        if (read == 0) {
            break;
        }
        text->str().append(buffer, read);
    }
    lumet::common::SecureZero(buffer, sizeof(buffer));
    CloseHandle(file);
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
            password->str() = WideToUtf8(line);
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

// The answer to one Dart-side send.
struct Answer {
    std::mutex mutex;
    std::condition_variable arrived;
    bool done = false;
    std::optional<EncodableValue> value;

    static void Callback(const uint8_t* data, size_t size, void* user_data) {
        auto* self = static_cast<Answer*>(user_data);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (data != nullptr) {
            auto decoded = Codec().DecodeMessage(data, size);
            if (decoded) {
                self->value = *decoded;
            }
        }
        self->done = true;
        self->arrived.notify_all();
    }
};

// Events arriving on onNativeEvent while the events command listens.
struct EventPrinter {
    bool json = false;
    static void Handler(FlutterLiteEngineRef engine, const char*, const uint8_t* message,
                        size_t message_size, FlutterLiteDartResponseRef response, void* user_data) {
        auto* self = static_cast<EventPrinter*>(user_data);
        auto decoded = Codec().DecodeMessage(message, message_size);
        const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
        if (list != nullptr && !list->empty()) {
            Print(stdout, self->json ? lumetctl::FormatJson(list->at(0)) + "\n"
                                     : "event: " + lumetctl::FormatJson(list->at(0)) + "\n");
        }
        const auto reply = Codec().EncodeMessage(EncodableValue(EncodableList{}));
        FlutterLiteEngineRespondFromDart(engine, response, reply->data(), reply->size());
    }
};

class Session {
  public:
    ~Session() {
        if (engine_ != nullptr) {
            FlutterLiteEngineDestroy(engine_);
        }
    }

    // Loads the plugin library and registers it on the platform thread.
    bool Load(const std::wstring& path, std::string* error) {
        engine_ = FlutterLiteEngineCreate();
        if (engine_ == nullptr) {
            *error = "the engine could not be started";
            return false;
        }
        switch (FlutterLiteEngineLoadPlugin(engine_, path.c_str(), kPluginClass)) {
            case kFlutterLitePluginRegistered:
                return true;
            case kFlutterLitePluginLibraryNotFound:
                *error = "cannot load " + WideToUtf8(path) +
                         " (win32=" + std::to_string(GetLastError()) + ")";
                return false;
            case kFlutterLitePluginEntryNotFound:
                *error =
                    WideToUtf8(path) + " has no LumetWindowsVpnPluginCApiRegisterWithRegistrar";
                return false;
            default:
                std::fprintf(stderr, "lumetctl: plugin registration did not finish\n");
                ExitProcess(kNoAnswer);
        }
    }

    // Sends `message` on the host method's channel and waits for the answer.
    std::optional<EncodableValue> Call(const std::string& method, const EncodableValue& message) {
        const std::string channel = std::string(lumet_windows_vpn::kHostApiChannelPrefix) + method;
        auto bytes = Codec().EncodeMessage(message);
        Answer answer;
        const bool sent = FlutterLiteEngineSendFromDart(engine_, channel.c_str(), bytes->data(),
                                                        bytes->size(), &Answer::Callback, &answer);
        lumet::common::WipeBytes(*bytes);
        if (!sent) {
            return std::nullopt;
        }
        std::unique_lock<std::mutex> lock(answer.mutex);
        if (!answer.arrived.wait_for(lock, kAnswerLimit, [&] { return answer.done; })) {
            std::fprintf(stderr, "lumetctl: no answer from %s\n", method.c_str());
            // The engine would still answer into `answer`; leave without unwinding.
            ExitProcess(kNoAnswer);
        }
        return answer.value;
    }

    void ListenForEvents(EventPrinter* printer) {
        FlutterLiteEngineSetDartHandler(engine_, lumet_windows_vpn::kOnNativeEventChannel,
                                        &EventPrinter::Handler, printer);
    }

  private:
    FlutterLiteEngineRef engine_ = nullptr;
};

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
            Print(stdout, command.json ? lumetctl::FormatJson(host.value) + "\n"
                                       : lumetctl::FormatText(host.value));
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

int Run(const Command& command) {
    Session session;
    std::string error;
    const std::wstring plugin =
        FullPath(command.plugin_path.empty() ? PluginBesideThisProgram() : command.plugin_path);
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
        EncodableValue message(EncodableList{EncodableValue(config.str())});
        config.Wipe();
        const auto reply = session.Call(command.method, message);
        flutter::internal::WipeDecodedMessage(message);
        return Report(command, reply);
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
        EncodableValue message(EncodableList{EncodableValue(profile.str()),
                                             EncodableValue(WideToUtf8(command.args[1])),
                                             EncodableValue(password.str())});
        profile.Wipe();
        password.Wipe();
        const auto reply = session.Call(command.method, message);
        flutter::internal::WipeDecodedMessage(message);
        return Report(command, reply);
    }
    if (command.name == "events") {
        EventPrinter printer{command.json};
        session.ListenForEvents(&printer);
        const int code = Report(command, session.Call(command.method, EncodableValue()));
        if (code != kAnswered) {
            return code;
        }
        Sleep(static_cast<DWORD>(std::wcstoul(command.args[0].c_str(), nullptr, 10)) * 1000);
        return kAnswered;
    }
    return Report(command, session.Call(command.method, EncodableValue()));
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

// The miniature application's runner: starts the engine, registers the plugins the way the
// generated registrant does, then plays the application's Dart code: it calls host methods on
// their channels with the bytes Dart's generated code sends, decodes the answers as Dart's
// generated codec does, listens for onNativeEvent, and finally shuts the engine down like a
// closing window and exits.
//
//   lumet_vpn_mini_app <wireguard-config-file> [event-seconds]
//
// Exit code 0 when every step gave what a working installation gives; 1 when a step did not;
// 2 on a usage error. Each step prints one line.
//
// Built with the application's standard settings: C++17 and no exceptions, so nothing here may
// rely on catching a throw: answers are taken apart with std::get_if and pointer any_casts.
#include <windows.h>

#include <flutter/byte_streams.h>
#include <flutter/encodable_value.h>
#include <flutter/plugin_registry.h>
#include <flutter/standard_codec_serializer.h>
#include <flutter/standard_message_codec.h>
#include <flutter_lite_engine.h>
#include <tlhelp32.h>

#include <algorithm>
#include <any>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "flutter/generated_plugin_registrant.h"

namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;

constexpr char kHostApi[] = "dev.flutter.pigeon.lumet_windows_vpn.LumetWindowsVpnHostApi.";
constexpr char kOnNativeEvent[] =
    "dev.flutter.pigeon.lumet_windows_vpn.LumetWindowsVpnFlutterApi.onNativeEvent";
constexpr DWORD kCallTimeoutMs = 90000;

// What Dart's generated codec makes of a custom type byte: an enum's index or a class's field
// list, with the type byte that says which.
struct DartObject {
    uint8_t type = 0;
    EncodableValue body;
};

class DartCodecSerializer : public flutter::StandardCodecSerializer {
  public:
    static const DartCodecSerializer& Instance() {
        static const DartCodecSerializer instance;
        return instance;
    }

  protected:
    EncodableValue ReadValueOfType(uint8_t type, flutter::ByteStreamReader* stream) const override {
        if (type >= 129) {
            return CustomEncodableValue(DartObject{type, ReadValue(stream)});
        }
        return flutter::StandardCodecSerializer::ReadValueOfType(type, stream);
    }
};

const flutter::StandardMessageCodec& Codec() {
    return flutter::StandardMessageCodec::GetInstance(&DartCodecSerializer::Instance());
}

const DartObject* AsObject(const EncodableValue& value, uint8_t type) {
    const auto* custom = std::get_if<CustomEncodableValue>(&value);
    if (custom == nullptr) {
        return nullptr;
    }
    const auto* object = std::any_cast<DartObject>(&static_cast<const std::any&>(*custom));
    return object != nullptr && object->type == type ? object : nullptr;
}

// Field `index` of a class object of `type`, or null when the shape differs.
const EncodableValue* Field(const EncodableValue& value, uint8_t type, size_t index) {
    const DartObject* object = AsObject(value, type);
    const auto* fields = object != nullptr ? std::get_if<EncodableList>(&object->body) : nullptr;
    return fields != nullptr && index < fields->size() ? &(*fields)[index] : nullptr;
}

int64_t IntOf(const EncodableValue* value) {
    if (value == nullptr) {
        return -1;
    }
    if (const auto* i64 = std::get_if<int64_t>(value)) {
        return *i64;
    }
    if (const auto* i32 = std::get_if<int32_t>(value)) {
        return *i32;
    }
    return -1;
}

bool BoolOf(const EncodableValue* value) {
    const auto* b = value != nullptr ? std::get_if<bool>(value) : nullptr;
    return b != nullptr && *b;
}

std::string TextOf(const EncodableValue* value) {
    const auto* s = value != nullptr ? std::get_if<std::string>(value) : nullptr;
    return s != nullptr ? *s : std::string("?");
}

// The index an enum field carries (type 129 is LumetComponentState, 130 LumetNativeErrorKind).
int64_t EnumOf(const EncodableValue* value, uint8_t type) {
    const DartObject* object = value != nullptr ? AsObject(*value, type) : nullptr;
    return object != nullptr ? IntOf(&object->body) : -1;
}

// One host method call's answer as Dart's generated code sees it.
struct Answer {
    bool answered = false;
    bool ok = false;
    EncodableValue value;
    std::string error_code;
};

struct PendingCall {
    std::mutex mutex;
    std::condition_variable done;
    bool arrived = false;
    bool empty = false;
    std::vector<uint8_t> bytes;

    static void OnReply(const uint8_t* reply, size_t size, void* user_data) {
        auto* self = static_cast<PendingCall*>(user_data);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->empty = reply == nullptr;
        if (reply != nullptr) {
            self->bytes.assign(reply, reply + size);
        }
        self->arrived = true;
        self->done.notify_all();
    }
};

class Application : public flutter::PluginRegistry {
  public:
    explicit Application(FlutterLiteEngineRef engine) : engine_(engine) {}

    FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(const std::string& name) override {
        return FlutterLiteEngineGetRegistrarForPlugin(engine_, name.c_str());
    }

    // Plugins register on the platform thread, as the embedder's window creation does it.
    bool RegisterPluginsOnPlatformThread() {
        struct Job {
            Application* app;
            std::mutex mutex;
            std::condition_variable done;
            bool finished = false;
        } job{this, {}, {}, false};
        const bool posted = FlutterLiteEnginePostTask(
            engine_,
            [](void* data) {
                auto* j = static_cast<Job*>(data);
                RegisterPlugins(j->app);
                std::lock_guard<std::mutex> lock(j->mutex);
                j->finished = true;
                j->done.notify_all();
            },
            &job);
        if (!posted) {
            return false;
        }
        std::unique_lock<std::mutex> lock(job.mutex);
        return job.done.wait_for(lock, std::chrono::seconds(10), [&] { return job.finished; });
    }

    // A host method call: `null` for a method without arguments, the argument list otherwise;
    // a reply [result] is success, [code, message, details] an error.
    Answer Call(const std::string& method, const EncodableValue& message = EncodableValue()) {
        // Shared with the reply callback, which may come after a time-out: never freed here.
        auto* pending = new PendingCall();
        std::unique_ptr<std::vector<uint8_t>> encoded = Codec().EncodeMessage(message);
        const std::string channel = kHostApi + method;
        Answer answer;
        const bool sent =
            FlutterLiteEngineSendFromDart(engine_, channel.c_str(), encoded->data(),
                                          encoded->size(), &PendingCall::OnReply, pending);
        // The message may hold a private key.
        SecureZeroMemory(encoded->data(), encoded->size());
        if (!sent) {
            return answer;
        }
        std::unique_lock<std::mutex> lock(pending->mutex);
        if (!pending->done.wait_for(lock, std::chrono::milliseconds(kCallTimeoutMs),
                                    [&] { return pending->arrived; })) {
            return answer;
        }
        answer.answered = true;
        if (pending->empty) {
            answer.error_code = "channel-error";
            return answer;
        }
        std::unique_ptr<EncodableValue> decoded = Codec().DecodeMessage(pending->bytes);
        const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
        if (list == nullptr || list->empty()) {
            answer.error_code = "channel-error";
        } else if (list->size() > 1) {
            answer.error_code = TextOf(&(*list)[0]);
        } else {
            answer.ok = true;
            answer.value = (*list)[0];
        }
        return answer;
    }

    void ListenForEvents() {
        FlutterLiteEngineSetDartHandler(engine_, kOnNativeEvent, &Application::OnEvent, this);
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(events_mutex_);
        return events_;
    }

  private:
    static void OnEvent(FlutterLiteEngineRef engine, const char*, const uint8_t* message,
                        size_t size, FlutterLiteDartResponseRef response, void* user_data) {
        auto* self = static_cast<Application*>(user_data);
        std::unique_ptr<EncodableValue> decoded =
            Codec().DecodeMessage(message, static_cast<size_t>(size));
        const auto* args = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
        const EncodableValue* kind =
            args != nullptr && !args->empty() ? Field((*args)[0], 141, 0) : nullptr;
        {
            std::lock_guard<std::mutex> lock(self->events_mutex_);
            self->events_.push_back(TextOf(kind));
        }
        // Dart's generated handler answers a void method with an empty list.
        std::unique_ptr<std::vector<uint8_t>> reply =
            Codec().EncodeMessage(EncodableValue(EncodableList{}));
        FlutterLiteEngineRespondFromDart(engine, response, reply->data(), reply->size());
    }

    FlutterLiteEngineRef engine_;
    std::mutex events_mutex_;
    std::vector<std::string> events_;
};

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring ThisFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return FolderOf(path);
}

// The folders the running OrrinfieldVPNAgent.exe processes were started from.
std::vector<std::wstring> AgentFolders() {
    std::vector<std::wstring> folders;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return folders;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.szExeFile, L"OrrinfieldVPNAgent.exe") != 0) {
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        wchar_t image[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, image, &length)) {
            folders.push_back(FolderOf(image));
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return folders;
}

bool ReadWholeFile(const wchar_t* path, std::string* text) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        text->append(buffer, got);
    }
    SecureZeroMemory(buffer, sizeof(buffer));
    CloseHandle(file);
    return !text->empty();
}

int failures = 0;

void Check(bool ok, const char* step, const std::string& detail) {
    std::printf("%s %s: %s\n", ok ? "ok  " : "FAIL", step, detail.c_str());
    std::fflush(stdout);
    if (!ok) {
        ++failures;
    }
}

std::string Describe(const Answer& answer) {
    if (!answer.answered) {
        return "no answer";
    }
    return answer.ok ? std::string("answered") : "error " + answer.error_code;
}

// LumetWireGuardStatus (type 138): state, adapterPresent, rxBytes, txBytes, lastHandshakeMs,
// error.
std::string WireGuardText(const EncodableValue& status) {
    return "state=" + std::to_string(EnumOf(Field(status, 138, 0), 129)) +
           " adapterPresent=" + std::to_string(BoolOf(Field(status, 138, 1))) +
           " rxBytes=" + std::to_string(IntOf(Field(status, 138, 2))) +
           " error=" + std::to_string(IntOf(Field(status, 138, 5)));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: lumet_vpn_mini_app <wireguard-config-file> [event-seconds]\n");
        return 2;
    }
    const int event_seconds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 4;
    std::string config;
    if (!ReadWholeFile(argv[1], &config)) {
        std::fprintf(stderr, "cannot read the WireGuard configuration\n");
        return 2;
    }

    FlutterLiteEngineRef engine = FlutterLiteEngineCreate();
    if (engine == nullptr) {
        std::fprintf(stderr, "the engine did not start\n");
        return 1;
    }
    Application app(engine);
    app.ListenForEvents();
    Check(app.RegisterPluginsOnPlatformThread(), "register plugins", "RegisterPlugins returned");

    // LumetNativeHealth (type 135): state, protocol, version, sessionId, agentReachable,
    // serviceLinkUp, lastError. The first call starts the agent beside the plugin.
    const Answer health = app.Call("getHealth");
    const EncodableValue& h = health.value;
    Check(health.ok && BoolOf(Field(h, 135, 4)) && BoolOf(Field(h, 135, 5)) &&
              EnumOf(Field(h, 135, 6), 130) == 0,
          "getHealth",
          Describe(health) + " version=" + TextOf(Field(h, 135, 2)) +
              " agentReachable=" + std::to_string(BoolOf(Field(h, 135, 4))) +
              " serviceLinkUp=" + std::to_string(BoolOf(Field(h, 135, 5))) +
              " lastError=" + std::to_string(EnumOf(Field(h, 135, 6), 130)));

    const std::wstring bundle = ThisFolder();
    bool from_bundle = false;
    for (const std::wstring& folder : AgentFolders()) {
        from_bundle = from_bundle || lstrcmpiW(folder.c_str(), bundle.c_str()) == 0;
    }
    Check(from_bundle, "agent location",
          from_bundle ? "started from the application's folder"
                      : "no agent runs from the application's folder");

    const Answer available = app.Call("isAvailable");
    const auto* yes = std::get_if<bool>(&available.value);
    Check(available.ok && yes != nullptr && *yes, "isAvailable", Describe(available));

    const Answer events = app.Call("startEvents");
    Check(events.ok && events.value.IsNull(), "startEvents", Describe(events));

    // The configuration holds a private key: every copy is wiped once sent.
    EncodableValue start_args(EncodableList{EncodableValue(config)});
    SecureZeroMemory(config.data(), config.size());
    const Answer up = app.Call("startWireGuard", start_args);
    auto& sent_config = std::get<std::string>(std::get<EncodableList>(start_args)[0]);
    SecureZeroMemory(sent_config.data(), sent_config.size());
    Check(up.ok && EnumOf(Field(up.value, 138, 0), 129) == 2 && BoolOf(Field(up.value, 138, 1)) &&
              IntOf(Field(up.value, 138, 5)) == 0,
          "startWireGuard", Describe(up) + " " + WireGuardText(up.value));

    Sleep(500);  // the simulated counters grow with time
    const Answer status = app.Call("wireGuardStatus");
    Check(status.ok && EnumOf(Field(status.value, 138, 0), 129) == 2 &&
              IntOf(Field(status.value, 138, 2)) > IntOf(Field(up.value, 138, 2)),
          "wireGuardStatus", Describe(status) + " " + WireGuardText(status.value));

    const Answer down = app.Call("stopWireGuard");
    Check(down.ok && EnumOf(Field(down.value, 138, 0), 129) == 4, "stopWireGuard",
          Describe(down) + " " + WireGuardText(down.value));

    // The first probe of the watcher reports what is up: the agent and its service link.
    Sleep(static_cast<DWORD>(event_seconds) * 1000);
    std::string seen;
    bool agent_connected = false;
    bool service_connected = false;
    for (const std::string& kind : app.Events()) {
        seen += (seen.empty() ? "" : ",") + kind;
        agent_connected = agent_connected || kind == "agentConnected";
        service_connected = service_connected || kind == "serviceConnected";
    }
    Check(agent_connected && service_connected, "events", seen.empty() ? "none" : seen);

    // The window closes: the embedder detaches the messenger, then destroys the plugins.
    FlutterLiteEngineDestroy(engine);
    Check(true, "shutdown", "engine destroyed");

    std::printf("%s\n", failures == 0 ? "all steps passed" : "some steps failed");
    return failures == 0 ? 0 : 1;
}

#include "support/plugin_harness.h"

#include <tlhelp32.h>

#include <cwchar>
#include <utility>

#include "common/win_handle.h"
#include "plugin/host_api.h"

namespace lumet::test {

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;

const flutter::StandardMessageCodec& Codec() {
    return lumet_windows_vpn::LumetWindowsVpnHostApi::GetCodec();
}

std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
}

HostAnswer ParseAnswer(bool empty, const std::vector<uint8_t>& bytes) {
    HostAnswer answer;
    answer.answered = true;
    if (empty) {
        return answer;
    }
    auto decoded = Codec().DecodeMessage(bytes.data(), bytes.size());
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    if (list == nullptr) {
        return answer;
    }
    answer.list_size = list->size();
    if (list->size() == 1) {
        answer.ok = true;
        answer.value = list->at(0);
    } else if (list->size() == 3) {
        if (const auto* code = std::get_if<std::string>(&list->at(0))) {
            answer.code = *code;
        }
        if (const auto* message = std::get_if<std::string>(&list->at(1))) {
            answer.message = *message;
        }
    }
    return answer;
}

}  // namespace

std::wstring PluginDllPath() {
    return BinFolder() + L"lumet_windows_vpn_plugin.dll";
}

std::wstring LumetctlPath() {
    return BinFolder() + L"lumetctl.exe";
}

std::wstring PluginLogPath() {
    return L"C:\\ProgramData\\Orrinfield\\vpn\\logs\\plugin.log";
}

std::vector<DWORD> AgentProcessIds() {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"OrrinfieldVPNAgent.exe") == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

int EndAgentProcesses(DWORD timeout_ms) {
    int ended = 0;
    for (DWORD pid : AgentProcessIds()) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process == nullptr) {
            continue;
        }
        if (TerminateProcess(process, 1)) {
            ++ended;
        }
        WaitForSingleObject(process, timeout_ms);
        CloseHandle(process);
    }
    return ended;
}

std::optional<DWORD> RunCaptured(const std::wstring& command_line, DWORD timeout_ms,
                                 std::string* output) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return std::nullopt;
    }
    const common::UniqueHandle reader(read_end);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    common::UniqueProcessInformation process;
    std::wstring writable = command_line;
    const BOOL started = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, process.put());
    CloseHandle(write_end);
    if (!started) {
        return std::nullopt;
    }
    process.close_thread();
    // Poll rather than read to the end: a program the child starts (the agent) may hold the
    // write end long after the child itself has ended.
    auto drain = [&] {
        DWORD available = 0;
        while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD read = 0;
            if (!ReadFile(read_end, chunk.data(), available, &read, nullptr) || read == 0) {
                return;
            }
            output->append(chunk.data(), read);
        }
    };
    std::optional<DWORD> exit_code;
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        drain();
        if (WaitForSingleObject(process.process(), 20) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.process(), &code);
            exit_code = code;
            break;
        }
        if (GetTickCount64() >= deadline) {
            TerminateProcess(process.process(), 1);
            WaitForSingleObject(process.process(), 5000);
            break;
        }
    }
    drain();
    return exit_code;
}

PluginHost::PluginHost() : engine_(FlutterLiteEngineCreate()) {}

PluginHost::~PluginHost() {
    Destroy();
}

bool PluginHost::Load(const std::wstring& dll_path) {
    if (engine_ == nullptr) {
        return false;
    }
    return FlutterLiteEngineLoadPlugin(engine_, dll_path.c_str(), "LumetWindowsVpnPluginCApi") ==
           kFlutterLitePluginRegistered;
}

PluginHost::Pending PluginHost::Send(const std::string& method, const EncodableValue& message) {
    Pending pending;
    pending.state_ = std::make_shared<Pending::State>();
    keep_alive_.push_back(pending.state_);
    const std::string channel = std::string(lumet_windows_vpn::kHostApiChannelPrefix) + method;
    const auto bytes = Codec().EncodeMessage(message);
    FlutterLiteEngineSendFromDart(
        engine_, channel.c_str(), bytes->data(), bytes->size(),
        [](const uint8_t* data, size_t size, void* user_data) {
            auto* state = static_cast<Pending::State*>(user_data);
            std::lock_guard<std::mutex> lock(state->mutex);
            state->done = true;
            state->empty = data == nullptr;
            if (data != nullptr) {
                state->bytes.assign(data, data + size);
            }
            state->arrived.notify_all();
        },
        pending.state_.get());
    return pending;
}

HostAnswer PluginHost::Pending::Wait(DWORD timeout_ms) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!state_->arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [&] { return state_->done; })) {
        return HostAnswer();
    }
    return ParseAnswer(state_->empty, state_->bytes);
}

HostAnswer PluginHost::Call(const std::string& method, const EncodableValue& message,
                            DWORD timeout_ms) {
    return Send(method, message).Wait(timeout_ms);
}

void PluginHost::ListenForEvents() {
    FlutterLiteEngineSetDartHandler(engine_, lumet_windows_vpn::kOnNativeEventChannel,
                                    &PluginHost::OnEvent, this);
}

void PluginHost::OnEvent(FlutterLiteEngineRef engine, const char*, const uint8_t* message,
                         size_t size, FlutterLiteDartResponseRef response, void* user_data) {
    auto* self = static_cast<PluginHost*>(user_data);
    auto decoded = Codec().DecodeMessage(message, size);
    const auto* list = decoded ? std::get_if<EncodableList>(decoded.get()) : nullptr;
    ReceivedEvent event;
    event.thread = GetCurrentThreadId();
    if (list != nullptr && list->size() == 1) {
        if (const auto* e = CustomAs<lumet_windows_vpn::LumetNativeEvent>(list->at(0))) {
            event.kind = e->kind();
            event.detail = e->detail();
            event.timestamp_ms = e->timestamp_ms();
        }
    }
    {
        std::lock_guard<std::mutex> lock(self->events_mutex_);
        self->events_.push_back(event);
        self->events_changed_.notify_all();
    }
    const auto reply = Codec().EncodeMessage(EncodableValue(EncodableList{}));
    FlutterLiteEngineRespondFromDart(engine, response, reply->data(), reply->size());
}

std::vector<ReceivedEvent> PluginHost::Events() {
    std::lock_guard<std::mutex> lock(events_mutex_);
    return events_;
}

bool PluginHost::WaitForEvents(size_t count, DWORD timeout_ms) {
    std::unique_lock<std::mutex> lock(events_mutex_);
    return events_changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [&] { return events_.size() >= count; });
}

std::chrono::milliseconds PluginHost::Destroy() {
    if (engine_ == nullptr) {
        return std::chrono::milliseconds(0);
    }
    const auto start = std::chrono::steady_clock::now();
    FlutterLiteEngineDestroy(engine_);
    engine_ = nullptr;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

DWORD PluginHost::PlatformThread() const {
    return engine_ ? FlutterLiteEngineGetPlatformThreadId(engine_) : 0;
}

}  // namespace lumet::test

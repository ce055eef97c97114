#include "cli/plugin_session_win.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "common/secure_buffer.h"
#include "common/utf.h"
#include "plugin/host_api.h"

namespace lumetctl {

namespace {

using flutter::EncodableValue;
using lumet::common::WideToUtf8;

constexpr char kPluginClass[] = "LumetWindowsVpnPluginCApi";

const flutter::StandardMessageCodec& Codec() {
    return lumet_windows_vpn::LumetWindowsVpnHostApi::GetCodec();
}

// The answer to one Dart-side send. Heap-owned: a caller that gives up leaves it to the engine,
// which may still answer into it.
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

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

int64_t FileTimeToUnixMs(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    // 100 ns units since 1601-01-01; 11644473600 s lie between 1601 and 1970.
    return static_cast<int64_t>(value.QuadPart / 10000) - int64_t{11644473600000};
}

int UtcOffsetMinutesAt(int64_t epoch_ms) {
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<uint64_t>(epoch_ms + int64_t{11644473600000}) * 10000;
    FILETIME utc_file = {value.LowPart, value.HighPart};
    SYSTEMTIME utc = {};
    SYSTEMTIME local = {};
    FILETIME local_file = {};
    if (!FileTimeToSystemTime(&utc_file, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &local_file)) {
        return 0;
    }
    return static_cast<int>((FileTimeToUnixMs(local_file) - epoch_ms) / 60000);
}

}  // namespace

void Print(FILE* stream, const std::string& text) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (IsConsole(handle)) {
        std::fflush(stream);
        const std::wstring wide = lumet::common::Utf8ToWide(text);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool StdoutIsConsole() {
    return IsConsole(GetStdHandle(STD_OUTPUT_HANDLE));
}

TextClock SystemTextClock() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    TextClock clock;
    clock.now_ms = FileTimeToUnixMs(now);
    clock.utc_offset_minutes = &UtcOffsetMinutesAt;
    return clock;
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

PluginSession::~PluginSession() {
    if (engine_ != nullptr) {
        FlutterLiteEngineDestroy(engine_);
    }
}

bool PluginSession::Load(const std::wstring& path, std::string* error) {
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
            *error = WideToUtf8(path) + " has no LumetWindowsVpnPluginCApiRegisterWithRegistrar";
            return false;
        default:
            std::fprintf(stderr, "lumetctl: plugin registration did not finish\n");
            ExitProcess(3);
    }
}

std::optional<EncodableValue> PluginSession::Call(const std::string& method,
                                                  const EncodableValue& message,
                                                  std::chrono::milliseconds limit,
                                                  const std::function<void()>& tick,
                                                  bool* timed_out) {
    if (timed_out != nullptr) {
        *timed_out = false;
    }
    const std::string channel = std::string(lumet_windows_vpn::kHostApiChannelPrefix) + method;
    auto bytes = Codec().EncodeMessage(message);
    auto answer = std::make_unique<Answer>();
    const bool sent = FlutterLiteEngineSendFromDart(engine_, channel.c_str(), bytes->data(),
                                                    bytes->size(), &Answer::Callback, answer.get());
    lumet::common::WipeBytes(*bytes);
    if (!sent) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(answer->mutex);
    while (!answer->done) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            if (timed_out != nullptr) {
                *timed_out = true;
            }
            lock.unlock();
            // The engine may still answer into it.
            static_cast<void>(answer.release());
            return std::nullopt;
        }
        const auto slice = std::min<std::chrono::steady_clock::duration>(
            deadline - now, std::chrono::milliseconds(100));
        if (!answer->arrived.wait_for(lock, slice, [&] { return answer->done; }) && tick) {
            lock.unlock();
            tick();
            lock.lock();
        }
    }
    return answer->value;
}

void PluginSession::ListenForEvents(EventHandler handler, void* user_data) {
    FlutterLiteEngineSetDartHandler(engine_, lumet_windows_vpn::kOnNativeEventChannel, handler,
                                    user_data);
}

}  // namespace lumetctl

#include "sim/wireguard_bridge/linux_wg.h"

#include <atomic>
#include <charconv>
#include <cstring>

#include "common/win_handle.h"
#include "sim/wireguard/published_adapter.h"

namespace lumet::sim::bridge {
namespace {

constexpr size_t kLinuxInterfaceNameMax = 15;
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;
constexpr size_t kImagePeerKeepaliveOffset = 72;

std::optional<uint64_t> Unsigned(std::string_view s) {
    uint64_t v = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (error != std::errc() || end != s.data() + s.size() || s.empty()) {
        return std::nullopt;
    }
    return v;
}

std::vector<std::string_view> Split(std::string_view s, char separator) {
    std::vector<std::string_view> out;
    for (size_t start = 0;;) {
        const size_t at = s.find(separator, start);
        out.push_back(s.substr(start, at - start));
        if (at == std::string_view::npos) {
            return out;
        }
        start = at + 1;
    }
}

std::string ReadWholeFile(const std::wstring& path) {
    std::string text;
    const common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return text;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0 &&
           text.size() < (1u << 20)) {
        text.append(buffer, got);
    }
    return text;
}

void OverwriteAndDelete(const std::wstring& path) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        LARGE_INTEGER size = {};
        if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 && size.QuadPart < (1 << 20)) {
            std::vector<char> zeros(static_cast<size_t>(size.QuadPart), 0);
            DWORD written = 0;
            ::WriteFile(file.get(), zeros.data(), static_cast<DWORD>(zeros.size()), &written,
                        nullptr);
            FlushFileBuffers(file.get());
        }
        file.reset();
    }
    DeleteFileW(path.c_str());
}

}  // namespace

std::string LinuxInterfaceName(std::wstring_view tunnel_name) {
    std::string name;
    for (wchar_t c : tunnel_name.substr(0, kLinuxInterfaceNameMax)) {
        name += static_cast<char>(c);  // a valid tunnel name is ASCII
    }
    return name;
}

std::string BuildSetconfText(const SimTunnelConfig& config) {
    std::string text = "[Interface]\nPrivateKey = " + config.private_key + "\n";
    if (config.listen_port) {
        text += "ListenPort = " + std::to_string(*config.listen_port) + "\n";
    }
    for (const SimPeer& peer : config.peers) {
        text += "\n[Peer]\nPublicKey = " + peer.public_key + "\n";
        if (!peer.preshared_key.empty()) {
            text += "PresharedKey = " + peer.preshared_key + "\n";
        }
        if (!peer.allowed_ips.empty()) {
            text += "AllowedIPs = ";
            for (size_t i = 0; i < peer.allowed_ips.size(); ++i) {
                text += (i ? ", " : "") + peer.allowed_ips[i].text;
            }
            text += "\n";
        }
        if (!peer.endpoint.empty()) {
            text += "Endpoint = " + peer.endpoint + "\n";
        }
        if (peer.persistent_keepalive) {
            text += "PersistentKeepalive = " + std::to_string(*peer.persistent_keepalive) + "\n";
        }
    }
    return text;
}

bool ParseDumpPeers(std::string_view text, std::vector<DumpPeer>& peers) {
    peers.clear();
    for (std::string_view line : Split(text, '\n')) {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        const std::vector<std::string_view> f = Split(line, '\t');
        if (f.size() != 8) {
            return false;
        }
        DumpPeer peer;
        const std::optional<uint64_t> handshake = Unsigned(f[4]);
        const std::optional<uint64_t> rx = Unsigned(f[5]);
        const std::optional<uint64_t> tx = Unsigned(f[6]);
        std::optional<uint64_t> keepalive = f[7] == "off" ? 0 : Unsigned(f[7]);
        if (!DecodeKey(f[0], peer.public_key) || !handshake || !rx || !tx || !keepalive ||
            *keepalive > 65535) {
            return false;
        }
        peer.last_handshake_unix_s = *handshake;
        peer.rx_bytes = *rx;
        peer.tx_bytes = *tx;
        peer.persistent_keepalive = static_cast<uint16_t>(*keepalive);
        if (f[3] != "(none)") {
            for (std::string_view entry : Split(f[3], ',')) {
                SimAllowedIp ip;
                if (!ParseIpCidr(entry, ip)) {
                    return false;
                }
                peer.allowed_ips.push_back(std::move(ip));
            }
        }
        peers.push_back(std::move(peer));
    }
    return true;
}

std::vector<uint8_t> BuildImageFromDump(const std::vector<DumpPeer>& peers) {
    std::vector<uint8_t> image(kImageInterfaceSize, 0);
    PutImageU32(image, kImagePeerCountOffset, static_cast<uint32_t>(peers.size()));
    for (const DumpPeer& peer : peers) {
        const size_t at = image.size();
        image.resize(at + kImagePeerSize + peer.allowed_ips.size() * kImageAllowedIpSize, 0);
        std::memcpy(&image[at + kImagePeerPublicKeyOffset], peer.public_key, 32);
        image[at + kImagePeerKeepaliveOffset] = static_cast<uint8_t>(peer.persistent_keepalive);
        image[at + kImagePeerKeepaliveOffset + 1] =
            static_cast<uint8_t>(peer.persistent_keepalive >> 8);
        PutImageU64(image, at + kImagePeerTxOffset, peer.tx_bytes);
        PutImageU64(image, at + kImagePeerRxOffset, peer.rx_bytes);
        if (peer.last_handshake_unix_s != 0) {
            PutImageU64(image, at + kImagePeerHandshakeOffset,
                        peer.last_handshake_unix_s * 10000000ULL + kUnixEpochIn100ns);
        }
        PutImageAllowedIps(image, at, peer.allowed_ips);
    }
    return image;
}

std::string ShellQuote(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string UnixPath(const std::wstring& windows_path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    auto convert = kernel32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(
                                  GetProcAddress(kernel32, "wine_get_unix_file_name")))
                            : nullptr;
    if (convert == nullptr) {
        return {};
    }
    char* path = convert(windows_path.c_str());
    if (path == nullptr) {
        return {};
    }
    std::string result(path);
    HeapFree(GetProcessHeap(), 0, path);
    return result;
}

ScriptRun::ScriptRun() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    if (GetTempPathW(MAX_PATH, temp) == 0) {
        return;
    }
    std::wstring dir =
        std::wstring(temp) + L"lumet-wg-bridge-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
        std::to_wstring(counter.fetch_add(1)) + L"-" + std::to_wstring(GetTickCount64());
    if (!CreateDirectoryW(dir.c_str(), nullptr)) {
        return;
    }
    dir_ = dir;
    unix_dir_ = UnixPath(dir_);
    if (unix_dir_.empty()) {
        RemoveDirectoryW(dir_.c_str());
        dir_.clear();
    }
}

ScriptRun::~ScriptRun() {
    if (dir_.empty()) {
        return;
    }
    for (const std::wstring& file : files_) {
        OverwriteAndDelete(WindowsPath(file.c_str()));
    }
    for (const wchar_t* file : {L"run.sh", L"out", L"rc", L"rc.tmp"}) {
        DeleteFileW(WindowsPath(file).c_str());
    }
    RemoveDirectoryW(dir_.c_str());
}

bool ScriptRun::WriteFile(const wchar_t* name, std::string_view bytes) {
    const common::UniqueHandle file(CreateFileW(WindowsPath(name).c_str(), GENERIC_WRITE, 0,
                                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                nullptr));
    if (!file) {
        return false;
    }
    files_.emplace_back(name);
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) &&
           written == bytes.size();
}

std::optional<int> ScriptRun::Run(const std::string& body, DWORD timeout_ms,
                                  const std::function<void()>& tick) {
    if (!ok()) {
        return std::nullopt;
    }
    const std::string rc = UnixPathOf("rc");
    const std::string script = "PATH=/usr/sbin:/usr/bin:/sbin:/bin\nexport PATH\n(\n" + body +
                               "\n) >" + ShellQuote(UnixPathOf("out")) +
                               " 2>&1 </dev/null\necho $? >" + ShellQuote(rc + ".tmp") + "\nmv " +
                               ShellQuote(rc + ".tmp") + " " + ShellQuote(rc) + "\n";
    DeleteFileW(WindowsPath(L"run.sh").c_str());
    DeleteFileW(WindowsPath(L"rc").c_str());
    common::UniqueHandle file(CreateFileW(WindowsPath(L"run.sh").c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    DWORD written = 0;
    const bool wrote = ::WriteFile(file.get(), script.data(), static_cast<DWORD>(script.size()),
                                   &written, nullptr) &&
                       written == script.size();
    file.reset();
    if (!wrote) {
        return std::nullopt;
    }

    // The shell takes a Unix path; the folder's name holds no quote or blank of its own.
    const std::string unix_script = UnixPathOf("run.sh");
    std::wstring command = L"/bin/sh " + std::wstring(unix_script.begin(), unix_script.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    common::UniqueProcessInformation shell;
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, shell.put())) {
        return std::nullopt;
    }
    // The handles of a Unix process never signal under Wine; the marker file tells instead.
    shell.reset();
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    ULONGLONG next_tick = GetTickCount64() + 250;
    for (;;) {
        const std::string status = ReadWholeFile(WindowsPath(L"rc"));
        if (!status.empty()) {
            const std::optional<uint64_t> value =
                Unsigned(status.substr(0, status.find_first_of("\r\n")));
            return value ? std::optional<int>(static_cast<int>(*value)) : std::optional<int>(255);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return std::nullopt;
        }
        if (tick && now >= next_tick) {
            tick();
            next_tick = now + 250;
        }
        Sleep(20);
    }
}

std::string ScriptRun::Output() const {
    return ok() ? ReadWholeFile(WindowsPath(L"out")) : std::string();
}

}  // namespace lumet::sim::bridge

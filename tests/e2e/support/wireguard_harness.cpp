#include "wireguard_harness.h"

#include "common/payload.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "service_harness.h"
#include "service/wireguard/tunnel_names.h"
#include "sim/wireguard/sim_faults.h"
#include "test_util.h"
#include "win_test_util.h"

namespace lumet::test {

namespace {

using common::UniqueServiceHandle;
using service::wireguard::kTunnelServiceName;

constexpr DWORD kServiceWaitMs = 10000;

}  // namespace

std::wstring TunnelConfigDirectory() {
    return ProgramDataFolder() + L"\\Orrinfield\\vpn\\wireguard";
}

std::wstring TunnelConfigFilePath() {
    return TunnelConfigDirectory() + L"\\orrinfieldwireguard.conf";
}

bool EnsureTunnelConfigDirectory() {
    std::wstring path = ProgramDataFolder();
    for (const wchar_t* level : {L"\\Orrinfield", L"\\vpn", L"\\wireguard"}) {
        path += level;
        CreateDirectoryW(path.c_str(), nullptr);  // an existing level is fine
    }
    return PathExists(path);
}

TunnelServiceInfo QueryTunnelService() {
    TunnelServiceInfo info;
    const UniqueServiceHandle service = OpenServiceByName(kTunnelServiceName, SERVICE_QUERY_STATUS);
    if (!service) {
        return info;
    }
    info.exists = true;
    info.state = ScmState(service.get(), &info.pid);
    return info;
}

void RemoveTunnelService() {
    RemoveServiceByName(kTunnelServiceName, kServiceWaitMs);
}

bool CreateAndStartTunnelService(const std::wstring& config_path) {
    const std::wstring exe = common::Utf8ToWide(ExecutableDir()) + L"\\wireguard.exe";
    const std::wstring command = L"\"" + exe + L"\" /tunnelservice \"" + config_path + L"\"";
    return CreateTestService(kTunnelServiceName, kTunnelServiceName, command, /*start=*/true,
                             kServiceWaitMs)
        .valid();
}

bool WriteTextFile(const std::wstring& path, std::string_view bytes) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

SimFaultSwitches::SimFaultSwitches() {
    Clear();
}

SimFaultSwitches::~SimFaultSwitches() {
    Clear();
}

bool SimFaultSwitches::Set(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, sim::kFaultKeyPath, name, REG_DWORD, &value,
                           sizeof(value)) == ERROR_SUCCESS;
}

void SimFaultSwitches::Clear() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, sim::kFaultKeyPath);
    // The parent goes only when nothing else lives in it.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OrrinfieldVPNTest");
}

std::string MakeWireGuardKey(std::string_view stem) {
    // 43 base64 characters whose last one ('A') carries no stray bits, then the padding.
    std::string key(stem);
    key.resize(43, 'A');
    return key + "=";
}

std::string WireGuardConfigText(const std::string& private_key, int peers) {
    std::string text = "[Interface]\nPrivateKey = " + private_key + "\nAddress = 10.77.0.2/32\n";
    for (int i = 0; i < peers; ++i) {
        text += "\n[Peer]\nPublicKey = " + MakeWireGuardKey("E2ePeer" + std::to_string(i)) +
                "\nAllowedIPs = 10.77." + std::to_string(i + 1) +
                ".0/24\nEndpoint = 192.0.2.7:5182" + std::to_string(i) + "\n";
    }
    return text;
}

std::vector<uint8_t> WireGuardStartBody(std::string_view config) {
    common::PayloadWriter writer;
    writer.WriteString(config);
    return writer.Take();
}

WireGuardReply ParseWireGuardReply(std::span<const uint8_t> body) {
    WireGuardReply reply;
    common::PayloadReader reader(body);
    if (!common::ReadStatus(reader, &reply.status)) {
        return reply;
    }
    reply.readable = reply.status != common::Status::Ok || common::Read(reader, &reply.record);
    return reply;
}

uint64_t UnixTimeMs() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ULL;
    return (ticks - kUnixEpochIn100ns) / 10000;
}

}  // namespace lumet::test

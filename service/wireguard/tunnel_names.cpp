#include "service/wireguard/tunnel_names.h"

namespace lumet::service::wireguard {

std::wstring JoinWindowsPath(std::wstring_view directory, std::wstring_view leaf) {
    while (!directory.empty() && (directory.back() == L'\\' || directory.back() == L'/')) {
        directory.remove_suffix(1);
    }
    if (directory.empty()) {
        return std::wstring();
    }
    std::wstring path;
    path.reserve(directory.size() + 1 + leaf.size());
    path.append(directory);
    path.push_back(L'\\');
    path.append(leaf);
    return path;
}

std::wstring TunnelErrorName(TunnelError error) {
    switch (error) {
        case TunnelOk:
            return L"TunnelOk";
        case TunnelConfigRejected:
            return L"TunnelConfigRejected";
        case TunnelBusy:
            return L"TunnelBusy";
        case TunnelSetupFailed:
            return L"TunnelSetupFailed";
        case TunnelStartFailed:
            return L"TunnelStartFailed";
        case TunnelAdapterMissing:
            return L"TunnelAdapterMissing";
        case TunnelStopIncomplete:
            return L"TunnelStopIncomplete";
        case TunnelConfigWriteFailed:
            return L"TunnelConfigWriteFailed";
    }
    return L"TunnelError(" + std::to_wstring(static_cast<unsigned>(error)) + L")";
}

std::wstring BuildTunnelCommandLine(std::wstring_view exe_path, std::wstring_view config_path) {
    // Both paths are quoted as whole arguments; neither can end in a backslash (they end in a
    // file name), so the closing quotes are never escaped by the argument parser.
    std::wstring line;
    line.reserve(exe_path.size() + config_path.size() + 20);
    line.push_back(L'"');
    line.append(exe_path);
    line.append(L"\" /tunnelservice \"");
    line.append(config_path);
    line.push_back(L'"');
    return line;
}

}  // namespace lumet::service::wireguard

#include "service/uninstall_cleanup.h"

#include <string_view>

namespace lumet::service {

namespace {

constexpr uint32_t kErrorFileNotFound = 2;

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](wchar_t c) {
            return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        };
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsUninstallCleanupRequest(int argc, const wchar_t* const* argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return false;
    }
    return EqualsIgnoringAsciiCase(argv[1], L"--uninstall-cleanup");
}

int CleanupExitCode(bool service_stopped, wireguard::TunnelError tunnel_error,
                    uint32_t registry_error) {
    const bool registry_gone = registry_error == 0 || registry_error == kErrorFileNotFound;
    return (service_stopped && tunnel_error == wireguard::TunnelOk && registry_gone)
               ? kCleanupOk
               : kCleanupIncomplete;
}

}  // namespace lumet::service

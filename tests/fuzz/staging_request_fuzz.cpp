// Feeds arbitrary bytes to the service as the body of a DeleteStagedOpenVpnConfig request (and of
// a StageOpenVpnConfig request) and checks the promise the delete rests on: a path is only ever
// accepted when it names a file directly inside the staging directory whose name has the staged
// pattern, with nothing in the name that Windows would read differently (NUL, stream colon,
// separators).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/utf.h"
#include "service/openvpn_staging.h"

namespace svc = lumet::service;

namespace {

constexpr std::wstring_view kStaging = L"C:\\Program Files\\OpenVPN\\config\\orrinfield\\";

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

void CheckAcceptedPath(std::wstring_view path) {
    const std::wstring_view trimmed = svc::StripTrailingSeparators(path);
    const std::wstring_view dir = svc::StripTrailingSeparators(kStaging);
    if (trimmed.size() <= dir.size() + 1 ||
        !svc::PathTextEquals(trimmed.substr(0, dir.size()), dir)) {
        std::abort();
    }
    // One or more separators, then a name without any.
    size_t at = dir.size();
    if (!IsSeparator(trimmed[at])) {
        std::abort();
    }
    while (at < trimmed.size() && IsSeparator(trimmed[at])) {
        ++at;
    }
    const std::wstring_view name = trimmed.substr(at);
    if (!svc::IsStagedName(name)) {
        std::abort();
    }
    for (const wchar_t c : name) {
        if (c == L'\0' || c == L':' || IsSeparator(c)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> body(data, size);

    std::string staged_path;
    if (svc::DecodeDeleteRequest(body, &staged_path)) {
        if (const std::optional<std::wstring> wide = lumet::common::TryUtf8ToWide(staged_path)) {
            if (svc::IsDeletableStagedPath(*wide, kStaging)) {
                CheckAcceptedPath(*wide);
            }
        }
    }

    svc::StageRequest request;
    if (svc::DecodeStageRequest(body, &request)) {
        if (request.profile.str().size() + 6 > size) {
            std::abort();  // the profile comes from the body, length prefix and attempt excluded
        }
    } else if (!request.profile.str().empty()) {
        std::abort();
    }
    return 0;
}

// Feeds arbitrary bytes to the OpenVPN profile validator and to EnsureDirective and checks the
// promises the agent and the service rely on: a code from the known range, a summary that is
// empty on rejection and well-formed on acceptance, the size and line limits behind every
// acceptance, and an added "auth-nocache" that keeps an accepted profile accepted and is added
// at most once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/openvpn_profile.h"

namespace ovpn = lumet::openvpn;

namespace {

bool LinesWithinLimit(std::string_view text) {
    size_t start = 0;
    for (;;) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string_view::npos ? text.size() : lf;
        if (end - start > ovpn::kMaxProfileLineBytes) {
            return false;
        }
        if (lf == std::string_view::npos) {
            return true;
        }
        start = lf + 1;
    }
}

bool WellFormedSummary(const ovpn::ProfileSummary& summary, std::string_view profile) {
    const std::string& host = summary.remote_host;
    if (host.empty() || host.size() > ovpn::kMaxRemoteHostBytes ||
        profile.find(host) == std::string_view::npos) {
        return false;
    }
    for (const char c : host) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x21 || b == 0x7F) {
            return false;
        }
    }
    const std::string& port = summary.remote_port;
    if (port.empty()) {
        return true;
    }
    if (port.size() > ovpn::kMaxRemotePortDigits) {
        return false;
    }
    for (const char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy so that ASan flags any read past the end of the text.
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Pre-filled, so that a summary left over from an earlier profile would show.
    ovpn::ProfileSummary summary{"stale.example", "1", true, "stale.log"};
    const ovpn::ProfileCheck check = ovpn::ValidateProfile(text, &summary);
    if (static_cast<uint16_t>(check) >
            static_cast<uint16_t>(ovpn::ProfileCheck::DisallowedDirective) ||
        ovpn::ValidateProfile(text, nullptr) != check) {
        std::abort();
    }

    const std::string ensured(ovpn::EnsureDirective(text, "auth-nocache"));
    if (ensured != text) {
        std::string expected = text;
        if (!expected.empty() && expected.back() != '\n') {
            expected += '\n';
        }
        expected += "auth-nocache\n";
        if (ensured != expected) {
            std::abort();
        }
    }

    if (check != ovpn::ProfileCheck::Ok) {
        if (!(summary == ovpn::ProfileSummary{})) {
            std::abort();
        }
        return 0;
    }
    if (text.size() > ovpn::kMaxProfileBytes || text.find('\0') != std::string::npos ||
        !LinesWithinLimit(text) || !WellFormedSummary(summary, text) ||
        (!summary.status_file.empty() && !ovpn::IsBareStatusFileName(summary.status_file))) {
        std::abort();
    }
    // Both programs stage the ensured profile after validating it again: adding the directive
    // must not turn an accepted profile into a rejected one, except by pushing it over the size
    // limit, and a second pass must find the directive.
    const ovpn::ProfileCheck again = ovpn::ValidateProfile(ensured, nullptr);
    if (again != ovpn::ProfileCheck::Ok &&
        !(again == ovpn::ProfileCheck::TooLarge && ensured.size() > ovpn::kMaxProfileBytes)) {
        std::abort();
    }
    if (ovpn::EnsureDirective(ensured, "auth-nocache") != ensured) {
        std::abort();
    }
    return 0;
}

// Feeds arbitrary text to the WireGuard configuration parser and checks the promises the tunnel
// controller relies on: a code from the known range, text only on acceptance, and a canonical
// text that is a fixed point (parsing it again accepts it and renders the same bytes, unless
// merging repeated list lines took it past a per-line limit), so that what is written for the
// tunnel is exactly what was validated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/wireguard/text_platform.h"
#include "service/wireguard/wireguard_config.h"

namespace wg = lumet::service::wireguard;

namespace {

// An independent UTF-8 decoder (decode, then judge the code point) to hold the range-table
// validator against.
bool DecodesAsUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t cp = 0;
        if (lead < 0x80) {
            length = 1;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto b = static_cast<uint8_t>(text[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool HasLineLongerThanLimit(std::string_view text) {
    size_t start = 0;
    for (;;) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string_view::npos ? text.size() : lf;
        if (end - start > wg::kMaxConfigLineBytes) {
            return true;
        }
        if (lf == std::string_view::npos) {
            return false;
        }
        start = lf + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy so that ASan flags any read past the end of the text.
    const std::string text(reinterpret_cast<const char*>(data), size);

    if (wg::IsValidUtf8Portable(text) != DecodesAsUtf8(text)) {
        std::abort();
    }

    const wg::WireGuardConfigResult result = wg::ParseWireGuardConfig(text);
    if (result.code > wg::config_code::kTooManyPeers) {
        std::abort();
    }
    if (result.code != wg::config_code::kAccepted) {
        if (!result.canonical_text.empty()) {
            std::abort();
        }
        return 0;
    }
    if (result.canonical_text.empty() || result.canonical_text.back() != '\n') {
        std::abort();
    }

    // Repeated Address, DNS and AllowedIPs lines are merged into one line each, which may then
    // hold more entries or bytes than one input line may; anything else must come back unchanged.
    wg::WireGuardConfig model;
    if (wg::ReadWireGuardConfig(text, model) != wg::config_code::kAccepted) {
        std::abort();
    }
    bool merged_beyond_limits = model.iface.addresses.size() > wg::kMaxAddressesPerLine ||
                                model.iface.dns_servers.size() > wg::kMaxDnsServersPerLine ||
                                result.canonical_text.size() > wg::kMaxConfigTextBytes ||
                                HasLineLongerThanLimit(result.canonical_text);
    for (const wg::WireGuardPeer& peer : model.peers) {
        merged_beyond_limits =
            merged_beyond_limits || peer.allowed_ips.size() > wg::kMaxAllowedIpsPerLine;
    }
    if (merged_beyond_limits) {
        return 0;
    }
    const wg::WireGuardConfigResult again = wg::ParseWireGuardConfig(result.canonical_text);
    if (again.code != wg::config_code::kAccepted || again.canonical_text != result.canonical_text) {
        std::abort();
    }
    return 0;
}

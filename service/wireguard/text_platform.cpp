#include "service/wireguard/text_platform.h"

#include <cstddef>
#include <cstdint>

namespace lumet::service::wireguard {

bool IsValidUtf8Portable(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The range of the first continuation byte depends on the lead byte: that is where
        // overlong forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4) are cut
        // off. Every later continuation byte is simply 80..BF.
        size_t length = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3;
            low = 0xA0;
        } else if (lead == 0xED) {
            length = 3;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            length = 3;
        } else if (lead == 0xF0) {
            length = 4;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4;
            high = 0x8F;
        } else {
            return false;  // 80..C1 (stray continuation, overlong 2-byte) and F5..FF
        }
        if (n - i < length) {
            return false;
        }
        if (p[i + 1] < low || p[i + 1] > high) {
            return false;
        }
        for (size_t k = 2; k < length; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

}  // namespace lumet::service::wireguard

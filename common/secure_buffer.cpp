#include "common/secure_buffer.h"

namespace lumet::common {

void SecureZero(void* data, size_t size) {
    // A volatile store per byte: the optimiser may not treat the writes as dead even when the
    // memory is freed right after (the portable counterpart of SecureZeroMemory).
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (size--) {
        *p++ = 0;
    }
}

}  // namespace lumet::common

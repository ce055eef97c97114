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

void WipeString(std::string& text) {
    // Zero up to the capacity: earlier, longer contents may still sit past size().
    if (text.capacity() > 0) {
        text.resize(text.capacity());
        SecureZero(text.data(), text.size());
    }
    text.clear();
}

void WipeString(std::wstring& text) {
    if (text.capacity() > 0) {
        text.resize(text.capacity());
        SecureZero(text.data(), text.size() * sizeof(wchar_t));
    }
    text.clear();
}

void WipeBytes(std::vector<uint8_t>& bytes) {
    if (bytes.capacity() > 0) {
        bytes.resize(bytes.capacity());
        SecureZero(bytes.data(), bytes.size());
    }
    bytes.clear();
}

}  // namespace lumet::common

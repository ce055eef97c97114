#include "agent/openvpn/random_hex.h"

#include <windows.h>
#include <bcrypt.h>

#include <random>
#include <vector>

#include "common/secure_buffer.h"

namespace lumet::agent::openvpn {

namespace {

// Only reached when the system generator fails, which it does not in practice; the text must
// still have its shape, so a seeded engine mixed with the tick count stands in.
uint8_t FallbackByte() {
    thread_local std::mt19937 engine(static_cast<uint32_t>(GetTickCount64()) ^
                                     (GetCurrentProcessId() << 16) ^ GetCurrentThreadId());
    return static_cast<uint8_t>((engine() ^ static_cast<uint32_t>(GetTickCount64())) & 0xFF);
}

}  // namespace

std::string RandomHex(size_t byte_count) {
    common::SecureBuffer bytes{std::vector<uint8_t>(byte_count)};
    const NTSTATUS status =
        BCryptGenRandom(/*hAlgorithm=*/nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
        for (uint8_t& byte : bytes.bytes()) {
            byte = FallbackByte();
        }
    }
    return LowerHex(bytes.bytes());
}

}  // namespace lumet::agent::openvpn

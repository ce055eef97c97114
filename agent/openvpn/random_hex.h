// Random lowercase hexadecimal text, for the per-attempt management password and the name of the
// OpenVPN exit event.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lumet::agent::openvpn {

// Each byte as two lowercase hexadecimal digits, high nibble first. Pure.
std::string LowerHex(std::span<const uint8_t> bytes);

// `byte_count` bytes from the system-preferred random generator as 2 * `byte_count` lowercase
// hex digits. Should the generator fail, each byte is the low byte of a pseudo-random number
// XOR the millisecond tick count, so the caller always gets text of the promised shape. The
// random bytes are wiped before returning; the result may be a secret (the management password)
// and is the caller's to wipe.
std::string RandomHex(size_t byte_count);

}  // namespace lumet::agent::openvpn

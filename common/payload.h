// Primitives from which every message body is built, little-endian, never padded or aligned:
//   u8, bool (written 0/1, any non-zero byte reads as true), u16, u32, u64,
//   string      = u16 byte count (0..kMaxStringBytes) + that many bytes of UTF-8, not validated,
//   string list = u16 entry count (0..kMaxListEntries) + that many strings.
//
// Both classes are pure; one instance must not be used from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/secure_buffer.h"

namespace lumet::common {

// Owns a growing byte vector to which the writers append in call order.
//
// Bodies may carry secrets (a WireGuard private key, an OpenVPN profile, a password), so the
// writer overwrites its bytes with zeros whenever it moves them to a larger buffer and when it is
// destroyed still holding them. Take() hands the bytes over; from then on wiping them is the
// receiver's job.
class PayloadWriter {
  public:
    PayloadWriter() = default;
    ~PayloadWriter();
    PayloadWriter(const PayloadWriter&) = default;
    PayloadWriter& operator=(const PayloadWriter& other);
    PayloadWriter(PayloadWriter&& other) noexcept;
    PayloadWriter& operator=(PayloadWriter&& other) noexcept;

    void WriteU8(uint8_t value);
    void WriteBool(bool value);
    void WriteU16(uint16_t value);
    void WriteU32(uint32_t value);
    void WriteU64(uint64_t value);

    // Refuses (writes nothing, returns false) a text longer than kMaxStringBytes.
    bool WriteString(std::string_view text);

    // Refuses (writes nothing, returns false) more than kMaxListEntries entries or any entry
    // longer than kMaxStringBytes, so a refused list never leaves a half-written body behind.
    bool WriteStringList(const std::vector<std::string>& texts);

    // Hands over the bytes written so far and leaves the writer empty.
    std::vector<uint8_t> Take();

    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    void Append(const uint8_t* data, size_t size);
    void AppendLittleEndian(uint64_t value, size_t width);
    void Wipe();

    std::vector<uint8_t> bytes_;
};

// A cursor over bytes it does not own; it must not outlive them.
//
// The `ok` flag starts true and is sticky: the first read that cannot be satisfied clears it, and
// from then on every read fails at once without moving the cursor or touching its output. Bytes
// left after the last field read are ignored.
class PayloadReader {
  public:
    // A null `data` is read as an empty range.
    PayloadReader(const uint8_t* data, size_t size);
    explicit PayloadReader(std::span<const uint8_t> bytes);

    bool ReadU8(uint8_t* value);
    bool ReadBool(bool* value);
    bool ReadU16(uint16_t* value);
    bool ReadU32(uint32_t* value);
    bool ReadU64(uint64_t* value);
    // Fails on a count over kMaxStringBytes or beyond the remaining bytes; on success the output
    // holds exactly the counted bytes.
    bool ReadString(std::string* text);
    // The same into a zeroing string, for secrets.
    bool ReadString(SecureStdString* text);
    // Fails on a count over kMaxListEntries or on the first entry that fails; the output then
    // holds a partial list that the caller must discard.
    bool ReadStringList(std::vector<std::string>* texts);

    bool Ok() const { return ok_; }
    // Clears the sticky flag, for a caller whose own check on a read value fails.
    void Fail() { ok_ = false; }
    size_t remaining() const { return static_cast<size_t>(end_ - cursor_); }

  private:
    // Both ReadString overloads (defined in the .cpp only).
    template <typename String>
    bool ReadStringInto(String* text);
    // Returns the next `width` bytes and advances, or clears ok and returns null.
    const uint8_t* Take(size_t width);
    // Fails (and clears ok) on a null output as well as on too few bytes.
    template <typename T>
    bool ReadLittleEndian(T* value);

    const uint8_t* cursor_;
    const uint8_t* end_;
    bool ok_ = true;
};

}  // namespace lumet::common

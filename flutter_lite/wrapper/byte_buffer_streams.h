// Byte streams over memory, used by the standard message codec.
#pragma once

#include <flutter/byte_streams.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <vector>

namespace flutter {

// Reads from a buffer it does not own; the buffer must outlive the reader. A read past the end
// prints "Invalid read in StandardCodecByteStreamReader" and yields zeros.
class ByteBufferStreamReader : public ByteStreamReader {
  public:
    ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

    uint8_t ReadByte() override {
        if (location_ >= size_) {
            ReportInvalidRead();
            return 0;
        }
        return bytes_[location_++];
    }

    void ReadBytes(uint8_t* buffer, size_t length) override {
        // Compared as remaining space so that a huge |length| cannot wrap around.
        if (length > GetRemaining()) {
            ReportInvalidRead();
            return;
        }
        if (length > 0) {
            std::memcpy(buffer, &bytes_[location_], length);
        }
        location_ += length;
    }

    void ReadAlignment(uint8_t alignment) override {
        if (alignment == 0) {
            return;
        }
        uint8_t mod = static_cast<uint8_t>(location_ % alignment);
        if (mod) {
            location_ += alignment - mod;
        }
    }

    // Alignment may step past the end of a truncated message; nothing is left then.
    size_t GetRemaining() const override { return location_ < size_ ? size_ - location_ : 0; }

  private:
    static void ReportInvalidRead() {
        std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
    }

    const uint8_t* bytes_;
    size_t size_;
    size_t location_ = 0;
};

// Appends to a vector it does not own.
class ByteBufferStreamWriter : public ByteStreamWriter {
  public:
    explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : bytes_(buffer) {}

    void WriteByte(uint8_t byte) override { bytes_->push_back(byte); }

    void WriteBytes(const uint8_t* bytes, size_t length) override {
        if (length > 0) {
            bytes_->insert(bytes_->end(), bytes, bytes + length);
        }
    }

    void WriteAlignment(uint8_t alignment) override {
        if (alignment == 0) {
            return;
        }
        uint8_t mod = static_cast<uint8_t>(bytes_->size() % alignment);
        if (mod) {
            bytes_->insert(bytes_->end(), alignment - mod, 0);
        }
    }

  private:
    std::vector<uint8_t>* bytes_;
};

}  // namespace flutter

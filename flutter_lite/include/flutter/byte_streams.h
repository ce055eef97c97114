// Byte streams used by the standard codec serializer.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_BYTE_STREAMS_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_BYTE_STREAMS_H_

// Includes what it uses, so the header stands alone.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace flutter {

// A stream of bytes to decode from.
class ByteStreamReader {
  public:
    ByteStreamReader() = default;
    virtual ~ByteStreamReader() = default;

    // Reads one byte; 0 past the end.
    virtual uint8_t ReadByte() = 0;

    // Reads |length| bytes into |buffer|; leaves |buffer| untouched if fewer remain.
    virtual void ReadBytes(uint8_t* buffer, size_t length) = 0;

    // Skips to the next multiple of |alignment| relative to the start of the stream.
    virtual void ReadAlignment(uint8_t alignment) = 0;

    // Bytes left to read. The standard serializer refuses to allocate for a size prefix larger
    // than this, so readers used with it must report it (the default says nothing is left).
    virtual size_t GetRemaining() const { return 0; }

    // Native-endian values; 0 when the stream is short.
    int32_t ReadInt32() {
        int32_t value = 0;
        ReadBytes(reinterpret_cast<uint8_t*>(&value), 4);
        return value;
    }

    int64_t ReadInt64() {
        int64_t value = 0;
        ReadBytes(reinterpret_cast<uint8_t*>(&value), 8);
        return value;
    }

    double ReadDouble() {
        double value = 0;
        ReadBytes(reinterpret_cast<uint8_t*>(&value), 8);
        return value;
    }
};

// A stream of bytes to encode into.
class ByteStreamWriter {
  public:
    ByteStreamWriter() = default;
    virtual ~ByteStreamWriter() = default;

    virtual void WriteByte(uint8_t byte) = 0;

    virtual void WriteBytes(const uint8_t* bytes, size_t length) = 0;

    // Pads with zeros to the next multiple of |alignment| relative to the start of the stream.
    virtual void WriteAlignment(uint8_t alignment) = 0;

    void WriteInt32(int32_t value) { WriteBytes(reinterpret_cast<const uint8_t*>(&value), 4); }

    void WriteInt64(int64_t value) { WriteBytes(reinterpret_cast<const uint8_t*>(&value), 8); }

    void WriteDouble(double value) { WriteBytes(reinterpret_cast<const uint8_t*>(&value), 8); }
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_BYTE_STREAMS_H_

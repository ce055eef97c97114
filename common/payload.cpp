#include "common/payload.h"

#include <algorithm>

#include "common/frame.h"
#include "common/secure_buffer.h"

namespace lumet::common {

PayloadWriter::~PayloadWriter() {
    Wipe();
}

PayloadWriter& PayloadWriter::operator=(const PayloadWriter& other) {
    if (this != &other) {
        Wipe();
        bytes_ = other.bytes_;
    }
    return *this;
}

PayloadWriter::PayloadWriter(PayloadWriter&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
}

PayloadWriter& PayloadWriter::operator=(PayloadWriter&& other) noexcept {
    if (this != &other) {
        Wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

void PayloadWriter::Wipe() {
    SecureZero(bytes_.data(), bytes_.capacity());
    bytes_.clear();
}

void PayloadWriter::Append(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    const size_t needed = bytes_.size() + size;
    if (needed > bytes_.capacity()) {
        // Grow by hand rather than letting the vector reallocate: the old block may hold part of
        // a secret and must be zeroed before it goes back to the heap.
        std::vector<uint8_t> grown;
        grown.reserve(std::max({needed, bytes_.capacity() * 2, size_t{64}}));
        grown.assign(bytes_.begin(), bytes_.end());
        Wipe();
        bytes_.swap(grown);
    }
    bytes_.insert(bytes_.end(), data, data + size);
}

void PayloadWriter::AppendLittleEndian(uint64_t value, size_t width) {
    uint8_t buffer[8];
    for (size_t i = 0; i < width; ++i) {
        buffer[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    Append(buffer, width);
}

void PayloadWriter::WriteU8(uint8_t value) {
    AppendLittleEndian(value, 1);
}

void PayloadWriter::WriteBool(bool value) {
    AppendLittleEndian(value ? 1 : 0, 1);
}

void PayloadWriter::WriteU16(uint16_t value) {
    AppendLittleEndian(value, 2);
}

void PayloadWriter::WriteU32(uint32_t value) {
    AppendLittleEndian(value, 4);
}

void PayloadWriter::WriteU64(uint64_t value) {
    AppendLittleEndian(value, 8);
}

bool PayloadWriter::WriteString(std::string_view text) {
    if (text.size() > kMaxStringBytes) {
        return false;
    }
    WriteU16(static_cast<uint16_t>(text.size()));
    Append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return true;
}

bool PayloadWriter::WriteStringList(const std::vector<std::string>& texts) {
    if (texts.size() > kMaxListEntries) {
        return false;
    }
    const bool all_fit = std::all_of(texts.begin(), texts.end(), [](const std::string& text) {
        return text.size() <= kMaxStringBytes;
    });
    if (!all_fit) {
        return false;
    }
    WriteU16(static_cast<uint16_t>(texts.size()));
    for (const std::string& text : texts) {
        WriteString(text);
    }
    return true;
}

std::vector<uint8_t> PayloadWriter::Take() {
    std::vector<uint8_t> out;
    out.swap(bytes_);
    return out;
}

PayloadReader::PayloadReader(const uint8_t* data, size_t size)
    : cursor_(data), end_(data == nullptr ? data : data + size) {}

PayloadReader::PayloadReader(std::span<const uint8_t> bytes)
    : PayloadReader(bytes.data(), bytes.size()) {}

const uint8_t* PayloadReader::Take(size_t width) {
    if (!ok_ || remaining() < width) {
        ok_ = false;
        return nullptr;
    }
    const uint8_t* start = cursor_;
    cursor_ += width;
    return start;
}

template <typename T>
bool PayloadReader::ReadLittleEndian(T* value) {
    if (value == nullptr) {
        ok_ = false;
    }
    const uint8_t* p = Take(sizeof(T));
    if (p == nullptr) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        v |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    *value = static_cast<T>(v);
    return true;
}

bool PayloadReader::ReadU8(uint8_t* value) {
    return ReadLittleEndian(value);
}

bool PayloadReader::ReadBool(bool* value) {
    uint8_t byte = 0;
    if (value == nullptr) {
        ok_ = false;
    }
    if (!ReadLittleEndian(&byte)) {
        return false;
    }
    *value = byte != 0;
    return true;
}

bool PayloadReader::ReadU16(uint16_t* value) {
    return ReadLittleEndian(value);
}

bool PayloadReader::ReadU32(uint32_t* value) {
    return ReadLittleEndian(value);
}

bool PayloadReader::ReadU64(uint64_t* value) {
    return ReadLittleEndian(value);
}

template <typename String>
bool PayloadReader::ReadStringInto(String* text) {
    uint16_t count = 0;
    if (text == nullptr) {
        ok_ = false;
    }
    if (!ReadU16(&count)) {
        return false;
    }
    if (count > kMaxStringBytes) {
        ok_ = false;
        return false;
    }
    const uint8_t* p = Take(count);
    if (p == nullptr) {
        return false;
    }
    text->assign(reinterpret_cast<const char*>(p), count);
    return true;
}

bool PayloadReader::ReadString(std::string* text) {
    return ReadStringInto(text);
}

bool PayloadReader::ReadString(SecureStdString* text) {
    return ReadStringInto(text);
}

bool PayloadReader::ReadStringList(std::vector<std::string>* texts) {
    uint16_t count = 0;
    if (texts == nullptr) {
        ok_ = false;
    }
    if (!ReadU16(&count)) {
        return false;
    }
    if (count > kMaxListEntries) {
        ok_ = false;
        return false;
    }
    texts->clear();
    texts->reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        if (!ReadString(&texts->emplace_back())) {
            return false;
        }
    }
    return true;
}

}  // namespace lumet::common

// Owners for secret bytes (private keys, profiles, passwords).
//
// The bytes are overwritten with zeros on destruction and whenever Wipe() is called, with a write
// the compiler may not drop. Moving hands the bytes over and leaves the source empty; copying is
// not allowed, so a secret is never duplicated by accident.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumet::common {

// Overwrites `size` bytes at `data` with zeros; never optimised away.
void SecureZero(void* data, size_t size);

// Zeroes the whole capacity-visible content of a string or vector and empties it.
void WipeString(std::string& text);
void WipeString(std::wstring& text);
void WipeBytes(std::vector<uint8_t>& bytes);

class SecureBuffer {
  public:
    SecureBuffer() = default;
    explicit SecureBuffer(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    SecureBuffer(const uint8_t* data, size_t size) : bytes_(data, data + size) {}
    ~SecureBuffer() { Wipe(); }

    SecureBuffer(SecureBuffer&& other) noexcept : bytes_(std::move(other.bytes_)) {
        other.bytes_.clear();
    }
    SecureBuffer& operator=(SecureBuffer&& other) noexcept {
        if (this != &other) {
            Wipe();
            bytes_ = std::move(other.bytes_);
            other.bytes_.clear();
        }
        return *this;
    }
    SecureBuffer(const SecureBuffer&) = delete;
    SecureBuffer& operator=(const SecureBuffer&) = delete;

    // Zeroes every byte and leaves the buffer empty.
    void Wipe() { WipeBytes(bytes_); }

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    std::vector<uint8_t>& bytes() { return bytes_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// The same for text: a std::string whose bytes are zeroed when it goes away.
class SecureString {
  public:
    SecureString() = default;
    explicit SecureString(std::string text) : text_(std::move(text)) {}
    ~SecureString() { Wipe(); }

    SecureString(SecureString&& other) noexcept : text_(std::move(other.text_)) {
        WipeString(other.text_);
    }
    SecureString& operator=(SecureString&& other) noexcept {
        if (this != &other) {
            Wipe();
            text_ = std::move(other.text_);
            WipeString(other.text_);
        }
        return *this;
    }
    SecureString(const SecureString&) = delete;
    SecureString& operator=(const SecureString&) = delete;

    void Wipe() { WipeString(text_); }
    std::string& str() { return text_; }
    const std::string& str() const { return text_; }

  private:
    std::string text_;
};

}  // namespace lumet::common

// Owners for secret bytes (private keys, profiles, passwords).
//
// Every block a secure type ever frees is zeroed first: the containers below allocate through
// SecureAllocator, whose deallocate overwrites the block before handing it back to the heap. A
// secret therefore leaves no copy in freed memory when its container grows, is reassigned or goes
// away, whoever holds the container. On top of that the owners zero their whole capacity on
// destruction and whenever Wipe() is called (short text lives inside the object itself, where no
// allocator sees it). Moving hands the bytes over and leaves the source empty; copying is not
// allowed, so a secret is never duplicated by accident.
//
// Text built from a secret must be built in these types (SecureStdString / SecureStdWString, or
// the owners' str()): a plain std::string temporary is freed unwiped. The secure overload of the
// UTF conversion (common/utf.h) converts without leaving a plain intermediate.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lumet::common {

// Overwrites `size` bytes at `data` with zeros; never optimised away.
void SecureZero(void* data, size_t size);

// An allocator that zeroes every block before freeing it. Stateless: all instances are equal, so
// containers may swap and move their blocks freely.
template <typename T>
struct SecureAllocator {
    using value_type = T;

    SecureAllocator() noexcept = default;
    template <typename U>
    SecureAllocator(const SecureAllocator<U>&) noexcept {}

    T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* block, size_t count) noexcept {
        SecureZero(block, count * sizeof(T));
        std::allocator<T>().deallocate(block, count);
    }

    template <typename U>
    bool operator==(const SecureAllocator<U>&) const noexcept {
        return true;
    }
};

using SecureStdString = std::basic_string<char, std::char_traits<char>, SecureAllocator<char>>;
using SecureStdWString =
    std::basic_string<wchar_t, std::char_traits<wchar_t>, SecureAllocator<wchar_t>>;
using SecureBytes = std::vector<uint8_t, SecureAllocator<uint8_t>>;

// Comparisons with plain text and bytes (found by argument-dependent lookup), for checks that
// must not copy the secret into a plain container first.
inline bool operator==(const SecureStdString& secret, std::string_view text) {
    return std::string_view(secret) == text;
}
inline bool operator==(const SecureStdWString& secret, std::wstring_view text) {
    return std::wstring_view(secret) == text;
}
inline bool operator==(const SecureBytes& secret, const std::vector<uint8_t>& bytes) {
    return secret.size() == bytes.size() && std::equal(secret.begin(), secret.end(), bytes.begin());
}

// Zeroes the whole capacity-visible content of a string or vector and empties it.
template <typename CharT, typename Allocator>
void WipeString(std::basic_string<CharT, std::char_traits<CharT>, Allocator>& text) {
    // Zero up to the capacity: earlier, longer contents may still sit past size().
    if (text.capacity() > 0) {
        text.resize(text.capacity());
        SecureZero(text.data(), text.size() * sizeof(CharT));
    }
    text.clear();
}
template <typename Allocator>
void WipeBytes(std::vector<uint8_t, Allocator>& bytes) {
    if (bytes.capacity() > 0) {
        bytes.resize(bytes.capacity());
        SecureZero(bytes.data(), bytes.size());
    }
    bytes.clear();
}

class SecureBuffer {
  public:
    SecureBuffer() = default;
    explicit SecureBuffer(SecureBytes bytes) : bytes_(std::move(bytes)) {}
    // Copies `bytes` and zeroes the plain vector's whole capacity.
    explicit SecureBuffer(std::vector<uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {
        WipeBytes(bytes);
    }
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
    SecureBytes& bytes() { return bytes_; }
    const SecureBytes& bytes() const { return bytes_; }

  private:
    SecureBytes bytes_;
};

// The same for text: a string whose bytes are zeroed when it grows and when it goes away.
template <typename CharT>
class SecureText {
  public:
    using String = std::basic_string<CharT, std::char_traits<CharT>, SecureAllocator<CharT>>;
    using Plain = std::basic_string<CharT>;

    SecureText() = default;
    explicit SecureText(String text) : text_(std::move(text)) {}
    // Copies `text` and zeroes the plain string's whole capacity (it came from somewhere that
    // could not build a secure string, such as a random source or a decoder).
    explicit SecureText(Plain text) : text_(text.data(), text.size()) { WipeString(text); }
    ~SecureText() { Wipe(); }

    SecureText(SecureText&& other) noexcept : text_(std::move(other.text_)) {
        WipeString(other.text_);
    }
    SecureText& operator=(SecureText&& other) noexcept {
        if (this != &other) {
            Wipe();
            text_ = std::move(other.text_);
            WipeString(other.text_);
        }
        return *this;
    }
    SecureText(const SecureText&) = delete;
    SecureText& operator=(const SecureText&) = delete;

    void Wipe() { WipeString(text_); }
    String& str() { return text_; }
    const String& str() const { return text_; }
    std::basic_string_view<CharT> view() const { return text_; }

  private:
    String text_;
};

using SecureString = SecureText<char>;
using SecureWString = SecureText<wchar_t>;

}  // namespace lumet::common

// A move-only owner of a kernel handle for the OpenVPN simulators (they link nothing of the
// product). Null and INVALID_HANDLE_VALUE both mean "nothing to close". Test tooling only.
#pragma once

#include <windows.h>

#include <utility>

namespace lumet::sim::openvpn {

class ScopedHandle {
  public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE h) : h_(h) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.h_, nullptr));
        }
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(h_, nullptr); }
    void reset(HANDLE h = nullptr) {
        if (valid()) {
            const DWORD error = GetLastError();
            CloseHandle(h_);
            SetLastError(error);
        }
        h_ = h;
    }

  private:
    HANDLE h_ = nullptr;
};

// Overwrites a buffer that held a secret.
template <typename Container>
void Wipe(Container& c) {
    if (!c.empty()) {
        SecureZeroMemory(c.data(), c.size() * sizeof(c[0]));
    }
    c.clear();
}

}  // namespace lumet::sim::openvpn

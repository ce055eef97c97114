// The simulated WireGuard adapter: what the simulated tunnel service publishes and the simulated
// driver library reads. Test tooling only, never shipped.
//
// While a tunnel service runs it holds a named file mapping
// "Global\LumetWireGuardSim.Adapter.<name>" (a kernel object, so the adapter vanishes with the
// process, even when it crashes). The mapping holds a PublishedAdapterHeader followed by
// `image_size` bytes: the adapter's configuration image in the driver's layout (interface record,
// then per peer a peer record and its allowed-IP records) with each peer's base counters. The
// library copies the image and adds the growth since `start_time` to every peer's counters, and
// fills in the handshake time once the clock reaches it, so counters grow without the service ever
// writing to the mapping again.
//
// Header-only so that tests can publish a crafted adapter without running the tunnel service.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace lumet::sim {

inline constexpr uint32_t kAdapterMagic = 0x4D534757;  // "WGSM", written last
inline constexpr uint32_t kAdapterVersion = 1;
// Room for a 512 KiB image plus slack, so tests can publish images just past the probe's limit.
inline constexpr uint32_t kMaxAdapterImageSize = 1024 * 1024;

// Offsets of the driver's image that the simulator fills.
inline constexpr size_t kImageInterfaceSize = 80;
inline constexpr size_t kImagePrivateKeyOffset = 8;  // 32 bytes; a fake key, never a real one
inline constexpr size_t kImagePeerCountOffset = 72;
inline constexpr size_t kImagePeerSize = 136;
inline constexpr size_t kImagePeerPublicKeyOffset = 8;
inline constexpr size_t kImagePeerTxOffset = 104;
inline constexpr size_t kImagePeerRxOffset = 112;
inline constexpr size_t kImagePeerHandshakeOffset = 120;
inline constexpr size_t kImagePeerAllowedIpCountOffset = 128;
inline constexpr size_t kImageAllowedIpSize = 24;

struct PublishedAdapterHeader {
    uint32_t magic = 0;  // kAdapterMagic once the rest is complete
    uint32_t version = kAdapterVersion;
    uint32_t image_size = 0;
    uint32_t owner_pid = 0;
    uint64_t start_time = 0;           // FILETIME (100-ns since 1601) the counters grow from
    uint64_t handshake_time = 0;       // FILETIME of the handshake; 0 = never; hidden until reached
    uint64_t rx_bytes_per_second = 0;  // growth added to every peer
    uint64_t tx_bytes_per_second = 0;
};

inline std::wstring AdapterMappingName(std::wstring_view adapter_name) {
    return L"Global\\LumetWireGuardSim.Adapter." + std::wstring(adapter_name);
}

inline uint64_t FileTimeNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline void PutImageU32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) {
        image[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline void PutImageU64(std::vector<uint8_t>& image, size_t at, uint64_t v) {
    for (size_t i = 0; i < 8; ++i) {
        image[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint32_t GetImageU32(const std::vector<uint8_t>& image, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>(image[at + i]) << (8 * i);
    }
    return v;
}

inline uint64_t GetImageU64(const std::vector<uint8_t>& image, size_t at) {
    return GetImageU32(image, at) | static_cast<uint64_t>(GetImageU32(image, at + 4)) << 32;
}

// Owns one published adapter. Not thread-safe; move-free (one owner for its lifetime).
class PublishedAdapter {
  public:
    PublishedAdapter() = default;
    ~PublishedAdapter() { Withdraw(); }
    PublishedAdapter(const PublishedAdapter&) = delete;
    PublishedAdapter& operator=(const PublishedAdapter&) = delete;

    // Creates the mapping and writes header and image, the magic last, so a reader never sees a
    // half-written adapter. Returns false (GetLastError set) when the mapping cannot be made or
    // an adapter of that name is already published by someone else.
    bool Publish(std::wstring_view adapter_name, PublishedAdapterHeader header,
                 const std::vector<uint8_t>& image) {
        Withdraw();
        if (image.size() > kMaxAdapterImageSize) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const DWORD total = static_cast<DWORD>(sizeof(header) + image.size());
        const std::wstring name = AdapterMappingName(adapter_name);
        mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, /*lpFileMappingAttributes=*/nullptr,
                                      PAGE_READWRITE, /*dwMaximumSizeHigh=*/0, total, name.c_str());
        if (mapping_ == nullptr) {
            return false;
        }
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            Withdraw();
            SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
        view_ = static_cast<uint8_t*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, total));
        view_size_ = total;
        if (view_ == nullptr) {
            const DWORD error = GetLastError();
            Withdraw();
            SetLastError(error);
            return false;
        }
        header.magic = 0;
        header.version = kAdapterVersion;
        header.image_size = static_cast<uint32_t>(image.size());
        std::memcpy(view_, &header, sizeof(header));
        if (!image.empty()) {
            std::memcpy(view_ + sizeof(header), image.data(), image.size());
        }
        std::atomic_ref<uint32_t>(reinterpret_cast<PublishedAdapterHeader*>(view_)->magic)
            .store(kAdapterMagic, std::memory_order_release);
        return true;
    }

    void Withdraw() {
        if (view_ != nullptr) {
            // The magic goes first so no reader copies a half-wiped image; the image carries a
            // (fake) private key and is treated like a real one.
            std::atomic_ref<uint32_t>(reinterpret_cast<PublishedAdapterHeader*>(view_)->magic)
                .store(0, std::memory_order_release);
            SecureZeroMemory(view_, view_size_);
            UnmapViewOfFile(view_);
            view_ = nullptr;
        }
        if (mapping_ != nullptr) {
            CloseHandle(mapping_);
            mapping_ = nullptr;
        }
    }

    bool published() const { return view_ != nullptr; }

  private:
    HANDLE mapping_ = nullptr;
    uint8_t* view_ = nullptr;
    size_t view_size_ = 0;
};

}  // namespace lumet::sim

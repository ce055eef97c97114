// wireguard.dll stand-in: the three driver functions the service binds, reading the adapters that
// simulated tunnel services publish (published_adapter.h). Test tooling only.
//
// Built twice: as wireguard.dll, and with LUMET_SIM_OMIT_GET_CONFIGURATION as a library that lacks
// WireGuardGetConfiguration, for callers that must refuse an incomplete library.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sim/wireguard/published_adapter.h"

namespace lumet::sim {
namespace {

constexpr uint32_t kHandleMagic = 0x48444741;  // "AGDH"

struct AdapterHandle {
    uint32_t magic = kHandleMagic;
    std::wstring name;
};

AdapterHandle* FromHandle(void* handle) {
    auto* adapter = static_cast<AdapterHandle*>(handle);
    return adapter != nullptr && adapter->magic == kHandleMagic ? adapter : nullptr;
}

// Copies the published header and image of `name`. Returns a Win32 error, NO_ERROR on success.
// The mapping is opened per call, so an adapter whose service has gone is gone here too.
DWORD Snapshot(const std::wstring& name, PublishedAdapterHeader& header,
               std::vector<uint8_t>& image) {
    const std::wstring mapping_name = AdapterMappingName(name);
    HANDLE mapping =
        OpenFileMappingW(FILE_MAP_READ, /*bInheritHandle=*/FALSE, mapping_name.c_str());
    if (mapping == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    DWORD error = NO_ERROR;
    const auto* view = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) {
        error = GetLastError();
    } else {
        MEMORY_BASIC_INFORMATION info = {};
        const size_t mapped = VirtualQuery(view, &info, sizeof(info)) ? info.RegionSize : 0;
        const uint32_t magic =
            std::atomic_ref<uint32_t>(const_cast<PublishedAdapterHeader*>(
                                          reinterpret_cast<const PublishedAdapterHeader*>(view))
                                          ->magic)
                .load(std::memory_order_acquire);
        std::memcpy(&header, view, sizeof(header));
        if (magic != kAdapterMagic || header.version != kAdapterVersion ||
            header.image_size > kMaxAdapterImageSize ||
            sizeof(header) + header.image_size > mapped) {
            // Not (yet) published completely, or not ours: no such adapter.
            error = ERROR_FILE_NOT_FOUND;
        } else {
            image.assign(view + sizeof(header), view + sizeof(header) + header.image_size);
        }
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return error;
}

#ifndef LUMET_SIM_OMIT_GET_CONFIGURATION
uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// Adds the growth since the adapter appeared, and the handshake once it is due, to every peer
// the image holds completely.
void ApplyActivity(const PublishedAdapterHeader& header, std::vector<uint8_t>& image) {
    if (image.size() < kImageInterfaceSize) {
        return;
    }
    const uint64_t now = FileTimeNow();
    const uint64_t elapsed_ms = now > header.start_time ? (now - header.start_time) / 10000 : 0;
    const uint64_t rx_growth = header.rx_bytes_per_second * elapsed_ms / 1000;
    const uint64_t tx_growth = header.tx_bytes_per_second * elapsed_ms / 1000;
    const bool handshake_due = header.handshake_time != 0 && now >= header.handshake_time;
    const uint32_t peers = GetImageU32(image, kImagePeerCountOffset);
    size_t at = kImageInterfaceSize;
    for (uint32_t i = 0; i < peers && image.size() - at >= kImagePeerSize; ++i) {
        PutImageU64(image, at + kImagePeerRxOffset,
                    SaturatingAdd(GetImageU64(image, at + kImagePeerRxOffset), rx_growth));
        PutImageU64(image, at + kImagePeerTxOffset,
                    SaturatingAdd(GetImageU64(image, at + kImagePeerTxOffset), tx_growth));
        if (handshake_due && GetImageU64(image, at + kImagePeerHandshakeOffset) == 0) {
            PutImageU64(image, at + kImagePeerHandshakeOffset, header.handshake_time);
        }
        const uint64_t allowed =
            uint64_t{GetImageU32(image, at + kImagePeerAllowedIpCountOffset)} * kImageAllowedIpSize;
        at += kImagePeerSize;
        if (allowed > image.size() - at) {
            break;
        }
        at += static_cast<size_t>(allowed);
    }
}
#endif

}  // namespace
}  // namespace lumet::sim

extern "C" {

__declspec(dllexport) void* WINAPI WireGuardOpenAdapter(const wchar_t* name) {
    using namespace lumet::sim;
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    PublishedAdapterHeader header;
    std::vector<uint8_t> image;
    const DWORD error = Snapshot(name, header, image);
    SecureZeroMemory(image.data(), image.size());
    if (error != NO_ERROR) {
        SetLastError(error);
        return nullptr;
    }
    auto* adapter = new (std::nothrow) AdapterHandle;
    if (adapter == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    adapter->name = name;
    return adapter;
}

__declspec(dllexport) void WINAPI WireGuardCloseAdapter(void* handle) {
    if (auto* adapter = lumet::sim::FromHandle(handle)) {
        adapter->magic = 0;
        delete adapter;
    }
}

#ifndef LUMET_SIM_OMIT_GET_CONFIGURATION
// Fills `buffer` with the adapter's configuration image. With no buffer, or one smaller than the
// image, fails with ERROR_MORE_DATA and stores the size needed in *bytes.
__declspec(dllexport) BOOL WINAPI
    WireGuardGetConfiguration(void* handle, void* buffer, DWORD* bytes) {
    using namespace lumet::sim;
    AdapterHandle* adapter = FromHandle(handle);
    if (adapter == nullptr || bytes == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PublishedAdapterHeader header;
    std::vector<uint8_t> image;
    const DWORD error = Snapshot(adapter->name, header, image);
    if (error != NO_ERROR) {
        SetLastError(error);
        return FALSE;
    }
    ApplyActivity(header, image);
    const DWORD needed = static_cast<DWORD>(image.size());
    const bool fits = buffer != nullptr && *bytes >= needed;
    if (fits) {
        std::memcpy(buffer, image.data(), needed);
    }
    *bytes = needed;
    // The image carries the interface's private key.
    SecureZeroMemory(image.data(), image.size());
    if (!fits) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    return TRUE;
}
#endif

}  // extern "C"

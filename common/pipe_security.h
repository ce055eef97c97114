// Security of the servers' named pipes: an explicit DACL built from a list of SID texts, and the
// one way both servers create a pipe instance.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/win_handle.h"

namespace lumet::common {

// Access granted to every listed SID: FILE_GENERIC_READ | FILE_GENERIC_WRITE. Write access also
// covers creating further instances of the pipe.
inline constexpr DWORD kPipeAccessMask = 0x0012019F;
// The same without FILE_CREATE_PIPE_INSTANCE: all a client needs, and no way for its holder to
// add an instance of the server's name beside the server's own.
inline constexpr DWORD kPipeClientAccessMask =
    kPipeAccessMask & ~static_cast<DWORD>(FILE_CREATE_PIPE_INSTANCE);

// One access entry: a SID text and the rights it gets.
struct PipeAccessEntry {
    std::wstring sid_text;
    DWORD mask = kPipeAccessMask;
};

// Owns everything a pipe's SECURITY_ATTRIBUTES point to: the SIDs, the DACL and the descriptor,
// all freed with LocalFree on destruction. Move-only; the pointers handed out by attributes()
// stay valid across moves (they point into LocalAlloc'd memory, and attributes() of the new
// owner must be used) until the owner is destroyed. Keep it alive while pipe instances are
// created with it. Not thread-safe: one owner thread, or external locking.
class PipeSecurity {
  public:
    ~PipeSecurity() = default;
    PipeSecurity(PipeSecurity&& other) noexcept;
    PipeSecurity& operator=(PipeSecurity&& other) noexcept;
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;

    // Length 24 (on x64), the descriptor, handle inheritance off.
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

    // Number of access entries in the DACL.
    size_t entry_count() const;

  private:
    friend std::optional<PipeSecurity> BuildPipeSecurity(const std::vector<PipeAccessEntry>&);
    PipeSecurity() = default;  // only BuildPipeSecurity makes one, so none lacks a DACL

    // Declared in the order they may be freed in reverse: the descriptor points at the DACL,
    // which was built from the SIDs.
    std::vector<UniqueLocalMemory> sids_;
    UniqueLocalPtr<ACL> dacl_;
    UniqueLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Builds a descriptor whose DACL grants kPipeAccessMask to each SID text, in order, and nothing
// else (no owner, no SACL). An empty text, or one that ConvertStringSidToSidW refuses, is skipped
// with the WARN line "PipeSecurity: bad SID string skipped". Returns nothing for an empty list,
// when no text was usable, or when a system call fails.
std::optional<PipeSecurity> BuildPipeSecurity(const std::vector<std::wstring>& sid_texts);

// The same with a mask of its own for each SID text.
std::optional<PipeSecurity> BuildPipeSecurity(const std::vector<PipeAccessEntry>& entries);

// Creates one server instance of `name`: duplex, overlapped, byte stream, remote clients
// refused, 16384-byte buffers, default time-out, the DACL of `security`. `first_instance` adds
// FILE_FLAG_FIRST_PIPE_INSTANCE, so creation fails when another instance already exists.
// Returns INVALID_HANDLE_VALUE on failure with GetLastError set by CreateNamedPipeW, or
// ERROR_INVALID_PARAMETER when `security` holds no descriptor (it was moved from): a pipe is never
// created with the default DACL by mistake. The caller owns the returned handle.
HANDLE CreateServerPipeInstance(const std::wstring& name, PipeSecurity& security,
                                DWORD max_instances, bool first_instance);

}  // namespace lumet::common

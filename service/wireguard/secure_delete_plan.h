// What a secure delete may do to a path, decided from what the file system reports about it.
//
// Pure code. The rule that matters: a reparse point (symbolic link, junction, mount point) is only
// ever unlinked, never opened for writing, so zeros can never be written through it into whatever
// it points at; a directory is never touched.
#pragma once

#include <cstdint>

namespace lumet::service::wireguard {

struct PathFacts {
    bool exists = false;
    bool is_directory = false;
    bool is_reparse_point = false;
};

enum class SecureDeletePlan {
    Leave,               // nothing to do: missing, or a directory
    UnlinkOnly,          // a reparse point: delete the link itself
    OverwriteAndDelete,  // a plain file: zero its content, then delete it
};

SecureDeletePlan PlanSecureDelete(const PathFacts& facts);

// Plain files of 1 to 1048575 bytes are overwritten; an empty file has nothing to hide and a larger
// one is not a file we wrote.
bool ShouldOverwriteFileOfSize(uint64_t size);

// Block size of the overwrite.
inline constexpr uint32_t kSecureDeleteBlockSize = 4096;

}  // namespace lumet::service::wireguard

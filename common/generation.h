// Drawing a server's generation number (Windows only; the text is formatted by
// FormatGenerationText in common/messages.h).
#pragma once

#include <cstdint>

namespace lumet::common {

// Four bytes from the system-preferred random generator; if that fails, the low 32 bits of the
// tick count. Never 0, so a stored generation of 0 always means that no handshake has happened.
// Thread safe; each call is an independent draw.
uint32_t DrawGenerationValue();

}  // namespace lumet::common

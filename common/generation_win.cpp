#include "common/generation.h"

#include <windows.h>
#include <bcrypt.h>

#include "common/messages.h"

namespace lumet::common {

uint32_t DrawGenerationValue() {
    uint32_t value = 0;
    const NTSTATUS status =
        BCryptGenRandom(/*hAlgorithm=*/nullptr, reinterpret_cast<PUCHAR>(&value), sizeof(value),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
        // A generation only has to differ between process lifetimes, so the tick count is an
        // acceptable stand-in when the generator is unavailable.
        value = static_cast<uint32_t>(GetTickCount64());
    }
    return NonZeroGeneration(value);
}

}  // namespace lumet::common

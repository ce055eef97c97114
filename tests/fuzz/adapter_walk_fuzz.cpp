// Feeds arbitrary bytes to the adapter configuration walk as if the driver library had returned
// them. The input is copied into a buffer of exactly its size so that ASan catches any read past
// the returned size; the size checks are exercised with the same length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "service/wireguard/adapter_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace wg = lumet::service::wireguard;
    std::vector<uint8_t> exact(data, data + size);
    const wg::AdapterCounters counters = wg::WalkAdapterConfiguration(exact.data(), exact.size());
    // The latest handshake can never be later than the largest representable time allows.
    if (counters.last_handshake_ms > (UINT64_MAX - wg::kUnixEpochAsFileTime) / 10000) {
        std::abort();
    }
    (void)wg::IsAcceptableReportedSize(size);
    (void)wg::IsAcceptableReturnedSize(size, exact.size());
    return 0;
}

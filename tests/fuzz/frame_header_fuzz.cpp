// Feeds arbitrary bytes to the frame header decoder as if they had arrived on a pipe, and checks
// the promises the transport relies on: an accepted header announces a frame the receiver can
// allocate safely, and re-encoding it reproduces the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/frame.h"

namespace lc = lumet::common;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy so that ASan flags any read past what was declared available.
    std::vector<uint8_t> exact(data, data + size);
    lc::FrameHeader header;
    size_t total = 0;
    const lc::FrameDecodeResult result =
        lc::DecodeFrameHeader(exact.data(), exact.size(), &header, &total);
    if (result == lc::FrameDecodeResult::NeedMore && size >= lc::kFrameHeaderSize) {
        std::abort();
    }
    if (result != lc::FrameDecodeResult::Ok) {
        return 0;
    }
    if (size < lc::kFrameHeaderSize || header.payload_length > lc::kMaxPayload ||
        total != header.payload_length + lc::kFrameHeaderSize) {
        std::abort();
    }
    const std::vector<uint8_t> payload(header.payload_length, 0);
    const auto frame = lc::EncodeFrame(header.type, header.request_id, header.generation, payload);
    if (!frame || frame->size() != total) {
        std::abort();
    }
    // Bytes 4..5 hold the protocol, which the encoder always writes as its own.
    if (std::memcmp(frame->data(), exact.data(), 4) != 0 ||
        std::memcmp(frame->data() + 6, exact.data() + 6, lc::kFrameHeaderSize - 6) != 0) {
        std::abort();
    }
    return 0;
}

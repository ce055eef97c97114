// Feeds arbitrary channel messages to the standard message codec, as the Dart side could send
// them. Decoding must never fail outright (malformed input yields null parts), and whatever was
// decoded must encode and decode again. ASan/UBSan watch the reads, the alignment steps and the
// size prefixes.
#include <flutter/encodable_value.h>
#include <flutter/standard_message_codec.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The codec reports malformed input on std::cerr; keep the fuzzer's output readable.
    static std::ostringstream* sink = new std::ostringstream();
    std::streambuf* previous = std::cerr.rdbuf(sink->rdbuf());
    sink->str("");

    const auto& codec = flutter::StandardMessageCodec::GetInstance();
    auto decoded = codec.DecodeMessage(size > 0 ? data : nullptr, size);
    if (!decoded) {
        std::abort();
    }
    auto encoded = codec.EncodeMessage(*decoded);
    if (!encoded || encoded->empty()) {
        std::abort();
    }
    if (!codec.DecodeMessage(*encoded)) {
        std::abort();
    }

    std::cerr.rdbuf(previous);
    return 0;
}

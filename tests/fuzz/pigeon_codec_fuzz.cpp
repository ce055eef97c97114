// Feeds arbitrary channel messages to the plugin's codec, as the Dart side could send them (host
// method arguments) or answer them (onNativeEvent replies). Decoding must never throw or fail
// outright: a custom type byte whose body does not fit its type reads as null. Whatever was
// decoded must encode and decode again. (Byte-exact stability is not asserted: the standard
// codec writes an empty typed list without the padding its reader expects, as Flutter's does.)
#include <flutter/encodable_value.h>
#include <flutter/standard_message_codec.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

#include "plugin/host_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The codec reports malformed input on std::cerr; keep the fuzzer's output readable.
    static std::ostringstream* sink = new std::ostringstream();
    std::streambuf* previous = std::cerr.rdbuf(sink->rdbuf());
    sink->str("");

    const auto& codec = lumet_windows_vpn::LumetWindowsVpnHostApi::GetCodec();
    auto decoded = codec.DecodeMessage(size > 0 ? data : nullptr, size);
    if (!decoded) {
        std::abort();
    }
    auto encoded = codec.EncodeMessage(*decoded);
    if (!encoded || encoded->empty()) {
        std::abort();
    }
    auto again = codec.DecodeMessage(*encoded);
    if (!again) {
        std::abort();
    }
    if (!codec.EncodeMessage(*again)) {
        std::abort();
    }

    std::cerr.rdbuf(previous);
    return 0;
}

// Feeds arbitrary message bodies to the record readers. The first byte picks the reader; the rest
// is the body. A body that reads must survive a write and a second read unchanged, and a reader
// must never step past the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/payload.h"

namespace lc = lumet::common;

namespace {

template <typename Record>
void RoundTrip(const std::vector<uint8_t>& body) {
    lc::PayloadReader reader(body.data(), body.size());
    Record first{};
    const bool ok = lc::Read(reader, &first);
    if (ok != reader.Ok() || reader.remaining() > body.size()) {
        std::abort();
    }
    if (!ok) {
        return;
    }
    lc::PayloadWriter writer;
    if (!lc::Write(writer, first)) {
        std::abort();  // everything a reader accepts is within the writer's limits
    }
    const std::vector<uint8_t> rewritten = writer.Take();
    // Readers take any non-zero bool byte as true and writers put 1, so only the length is fixed.
    if (rewritten.size() != body.size() - reader.remaining()) {
        std::abort();
    }
    lc::PayloadReader again(rewritten.data(), rewritten.size());
    Record second{};
    if (!lc::Read(again, &second) || !(second == first) || again.remaining() != 0) {
        std::abort();
    }
}

void Primitives(const std::vector<uint8_t>& body) {
    lc::PayloadReader reader(body.data(), body.size());
    std::string text;
    std::vector<std::string> list;
    lc::Status status{};
    if (lc::ReadStatus(reader, &status) && reader.ReadString(&text)) {
        if (text.size() > lc::kMaxStringBytes) {
            std::abort();
        }
        if (reader.ReadStringList(&list) && list.size() > lc::kMaxListEntries) {
            std::abort();
        }
    }
    // Once failed, a reader stays failed.
    if (!reader.Ok()) {
        uint8_t byte = 0;
        if (reader.ReadU8(&byte)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::vector<uint8_t> body(data + 1, data + size);
    switch (data[0] % 8) {
        case 0:
            RoundTrip<lc::HelloInfo>(body);
            break;
        case 1:
            RoundTrip<lc::ServiceHealthRecord>(body);
            break;
        case 2:
            RoundTrip<lc::AgentHealthRecord>(body);
            break;
        case 3:
            RoundTrip<lc::WireGuardStatusRecord>(body);
            break;
        case 4:
            RoundTrip<lc::OpenVpnStatusRecord>(body);
            break;
        case 5:
            RoundTrip<lc::OpenVpnCapabilitiesRecord>(body);
            break;
        case 6:
            RoundTrip<lc::OpenVpnActivityReport>(body);
            break;
        default:
            Primitives(body);
            break;
    }
    return 0;
}

// Feeds arbitrary bytes, read as UTF-16LE units the way the launcher reads the pipe, to the
// interactive service's reply classifier, and checks what the coordinator relies on: a status
// from the known range, a process id only for Launched and then one the reply really spells out,
// a message only for a non-zero service code and never longer than 500 units.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/openvpn/launch_reply.h"

namespace ovpn = lumet::agent::openvpn;

namespace {

std::u16string Hex8(uint32_t value) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string out = u"0x";
    for (int shift = 28; shift >= 0; shift -= 4) {
        out.push_back(kDigits[(value >> shift) & 0xF]);
    }
    return out;
}

std::u16string Lower(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'F') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string reply(size / 2, u'\0');
    for (size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    const ovpn::LaunchResult r = ovpn::ParseLaunchReply(reply);
    if (static_cast<uint32_t>(r.status) >
        static_cast<uint32_t>(ovpn::InteractiveLaunchStatus::ServiceError)) {
        std::abort();
    }
    if (r.message.size() > ovpn::kMaxLaunchMessageUnits) {
        std::abort();
    }
    const std::u16string text = reply.substr(0, reply.find(u'\0'));
    if (r.status == ovpn::InteractiveLaunchStatus::Launched) {
        if (!r.message.empty() || text.size() < 32 ||
            Lower(text.substr(0, 22)) != u"0x00000000\n" + Hex8(r.process_id) + u"\n" ||
            text.find(u"Process ID", 22) == std::u16string::npos) {
            std::abort();
        }
        return 0;
    }
    if (r.process_id != 0) {
        std::abort();
    }
    if (!r.message.empty() && (text.size() < 12 || Lower(text.substr(0, 11)) == u"0x00000000\n")) {
        std::abort();
    }
    return 0;
}

// Feeds arbitrary bytes to the management line classifier, as one line and as a stream split into
// lines the way the client splits it, and checks what the reader thread relies on: fields a kind
// does not set stay zero, a byte count comes back exactly when it is two plain decimal u64
// values, and the classification is the same for a line copied on its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/openvpn/management_commands.h"
#include "agent/openvpn/management_line.h"

namespace ovpn = lumet::agent::openvpn;

namespace {

void Check(std::string_view line) {
    // An exact-size copy so that ASan flags any read past the end of the line.
    const std::string copy(line);
    const ovpn::ManagementEvent e = ovpn::ParseLine(copy);
    using Kind = ovpn::ManagementEventKind;
    if (static_cast<uint8_t>(e.kind) > static_cast<uint8_t>(Kind::AuthRejected) ||
        static_cast<uint8_t>(e.state) > static_cast<uint8_t>(ovpn::ManagementState::Exiting) ||
        static_cast<uint8_t>(e.prompt) >
            static_cast<uint8_t>(ovpn::PasswordPromptKind::VerificationFailed)) {
        std::abort();
    }
    if (e.kind != Kind::State && e.state != ovpn::ManagementState::Other) {
        std::abort();
    }
    if (e.kind != Kind::ByteCount && (e.bytes_in != 0 || e.bytes_out != 0)) {
        std::abort();
    }
    if (e.kind != Kind::PasswordPrompt && e.prompt != ovpn::PasswordPromptKind::Unrecognised) {
        std::abort();
    }
    if (e.kind != Kind::Fatal && e.auth_failed) {
        std::abort();
    }
    if (copy.size() > ovpn::kMaxManagementLineBytes && e.kind != Kind::Malformed) {
        std::abort();
    }
    if (e.kind == Kind::ByteCount) {
        const std::string expected =
            ">BYTECOUNT:" + std::to_string(e.bytes_in) + "," + std::to_string(e.bytes_out);
        // Leading zeros are the only other spelling that parses.
        std::string stripped = ">BYTECOUNT:";
        std::string_view rest = std::string_view(copy).substr(11);
        const size_t comma = rest.find(',');
        for (std::string_view field : {rest.substr(0, comma), rest.substr(comma + 1)}) {
            while (field.size() > 1 && field[0] == '0') {
                field.remove_prefix(1);
            }
            stripped.append(field);
            stripped.push_back(',');
        }
        stripped.pop_back();
        if (stripped != expected) {
            std::abort();
        }
    }
    if (e.kind == Kind::Malformed && copy.size() <= ovpn::kMaxManagementLineBytes &&
        copy.rfind(">BYTECOUNT:", 0) != 0) {
        std::abort();
    }
    const std::wstring preview = ovpn::Preview(copy);
    if (preview.size() > ovpn::kPreviewBytes) {
        std::abort();
    }
    for (const wchar_t c : preview) {
        if (c < 0x20 || c > 0x7E) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Check(input);
    size_t start = 0;
    while (start < input.size()) {
        size_t lf = input.find('\n', start);
        if (lf == std::string_view::npos) {
            lf = input.size();
        }
        std::string_view line = input.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        Check(line);
        start = lf + 1;
    }
    return 0;
}

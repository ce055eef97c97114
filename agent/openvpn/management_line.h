// Classification of the lines OpenVPN writes on its management interface: real-time messages
// (">STATE:", ">BYTECOUNT:", ">HOLD:", ">PASSWORD:", ">LOG:", ">FATAL:", ...) and command replies
// ("SUCCESS:", "ERROR:").
//
// Pure and re-entrant. The input is untrusted: any bytes are classified without reading past the
// line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumet::agent::openvpn {

// OpenVPN's connection state, from the second field of a ">STATE:" line (exact, case-sensitive
// names). Also the `state` of OpenVpnStatusRecord on the wire.
enum class ManagementState : uint8_t {
    Other = 0,  // any other name, or the field is missing
    Connecting = 1,
    Resolve = 2,
    TcpConnect = 3,
    Wait = 4,
    Auth = 5,
    AuthPending = 6,
    GetConfig = 7,
    AssignIp = 8,
    AddRoutes = 9,
    Connected = 10,
    Reconnecting = 11,
    Exiting = 12,
};

// What a ">PASSWORD:" line is about, from the whole text after ">PASSWORD:".
enum class PasswordPromptKind : uint8_t {
    Unrecognised = 0,          // any other text (including "Need ..." wordings we do not know)
    PrivateKey = 1,            // "Need 'Private Key' password"
    AuthUsernamePassword = 2,  // "Need 'Auth' username/password"
    AuthUsername = 3,          // "Need 'Auth' username"
    AuthPassword = 4,          // "Need 'Auth' password"
    // The text begins with "Verification Failed" (e.g. "Verification Failed: 'Auth'"): the server
    // refused the credentials we sent. Not a question: it is never answered, and it is the only
    // sign of the refusal (OpenVPN then reports EXITING and closes, without a ">FATAL:" line), so
    // the coordinator records it as an authentication failure.
    VerificationFailed = 5,
};

enum class ManagementEventKind : uint8_t {
    Other = 0,      // empty, not starting with ">", or a ">" message not listed here
    Malformed = 1,  // longer than 4096 bytes, or a ">BYTECOUNT:" line that does not parse
    State = 2,
    ByteCount = 3,
    Hold = 4,
    PasswordPrompt = 5,
    Log = 6,
    Fatal = 7,
    AuthSucceeded = 8,  // "SUCCESS:" (any command reply, including the management password's)
    AuthRejected = 9,   // "ERROR:"
};

// One classified line. Fields a kind does not set are zero.
struct ManagementEvent {
    ManagementEventKind kind = ManagementEventKind::Other;
    ManagementState state = ManagementState::Other;                // State
    uint64_t bytes_in = 0;                                         // ByteCount
    uint64_t bytes_out = 0;                                        // ByteCount
    PasswordPromptKind prompt = PasswordPromptKind::Unrecognised;  // PasswordPrompt
    bool auth_failed = false;  // Fatal: the text contains "AUTH_FAILED"

    friend bool operator==(const ManagementEvent&, const ManagementEvent&) = default;
};

// Longest line the client accepts; longer ones are Malformed.
inline constexpr size_t kMaxManagementLineBytes = 4096;

// Classifies one line (without its line end). First match wins:
//  - longer than 4096 bytes: Malformed;
//  - "SUCCESS:" / "ERROR:" prefix: AuthSucceeded / AuthRejected;
//  - empty or not starting with ">": Other;
//  - ">STATE:": the rest split at "," into at most 3 fields; state from field 2 when present;
//  - ">BYTECOUNT:": exactly two fields of 1 to 20 decimal digits that fit in u64, else Malformed;
//  - ">HOLD:", ">PASSWORD:" (prompt from the rest), ">LOG:", ">FATAL:" (auth_failed when the rest
//    contains "AUTH_FAILED");
//  - anything else: Other.
ManagementEvent ParseLine(std::string_view line);

// The prompt kind of the text after ">PASSWORD:": the four known prompts compared whole,
// VerificationFailed when it begins with "Verification Failed", else Unrecognised.
PasswordPromptKind ClassifyPasswordPrompt(std::string_view text);

// The state named `name`, compared exactly; Other for anything else.
ManagementState StateFromName(std::string_view name);

}  // namespace lumet::agent::openvpn

// Switches and records of the simulated OpenVPN installation (the interactive service and
// openvpn.exe), under HKLM\SOFTWARE\OrrinfieldVPNTest\OpenVpnSim.
//
// Switches are read by the interactive service for every startup message and by openvpn.exe once
// when it starts, so a test sets them before it launches. A missing key or value, or a value of
// another type, means normal behaviour. Records are written by the simulators so that a test can
// check what reached them; they hold facts only (whether a password matched), never a secret.
// See README.md for what each switch does. Test tooling only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumet::sim::openvpn {

inline constexpr wchar_t kSimKeyPath[] = L"SOFTWARE\\OrrinfieldVPNTest\\OpenVpnSim";

// Interactive service switches (REG_DWORD unless noted).
inline constexpr wchar_t kLaunchError[] = L"LaunchError";    // LaunchErrorKind
inline constexpr wchar_t kReplyShape[] = L"ReplyShape";      // ReplyShapeKind
inline constexpr wchar_t kNoReply[] = L"NoReply";            // 1: read the message, never answer
inline constexpr wchar_t kReplyDelayMs[] = L"ReplyDelayMs";  // answer this much later
inline constexpr wchar_t kOpenVpnExe[] = L"OpenVpnExe";      // REG_SZ: program to start

// openvpn.exe switches.
inline constexpr wchar_t kGreetingDelayMs[] = L"GreetingDelayMs";
inline constexpr wchar_t kRejectCredentials[] = L"RejectCredentials";
inline constexpr wchar_t kFatal[] = L"Fatal";  // FatalKind
inline constexpr wchar_t kExitAfterConnectedMs[] = L"ExitAfterConnectedMs";
inline constexpr wchar_t kNeverConnect[] = L"NeverConnect";
inline constexpr wchar_t kPrivateKeyPrompt[] = L"PrivateKeyPrompt";
inline constexpr wchar_t kStateStepMs[] = L"StateStepMs";
inline constexpr wchar_t kAuthUsername[] = L"AuthUsername";  // REG_SZ
inline constexpr wchar_t kAuthPassword[] = L"AuthPassword";  // REG_SZ

// Records.
inline constexpr wchar_t kLastOptions[] = L"LastOptions";                    // REG_SZ (service)
inline constexpr wchar_t kLastCommandLine[] = L"LastCommandLine";            // REG_SZ (openvpn.exe)
inline constexpr wchar_t kLastWorkingDirectory[] = L"LastWorkingDirectory";  // REG_SZ
inline constexpr wchar_t kLastConfigAuthNocache[] = L"LastConfigAuthNocache";  // 1 / 0
inline constexpr wchar_t kLastManagementAuth[] = L"LastManagementAuth";        // AuthRecord
inline constexpr wchar_t kLastCredentials[] = L"LastCredentials";              // AuthRecord

// The credentials openvpn.exe accepts unless AuthUsername / AuthPassword say otherwise.
inline constexpr char kDefaultUsername[] = "sim-user";
inline constexpr char kDefaultPassword[] = "correct-horse";

enum class LaunchErrorKind : uint32_t {
    None = 0,
    AdminApproval = 1,    // 0x20000001, a refusal for lack of rights
    OptionsRejected = 2,  // 0x20000001, an option set the service will not run
    // The next two are the real service's answers to a later message (bad data, unknown type);
    // it never gives them to a startup message: a reply no real service sends at startup.
    MessageData = 3,    // 0x20000002
    MessageType = 4,    // 0x20000003
    StartupFailed = 5,  // 0x20000000
};

enum class ReplyShapeKind : uint32_t {
    Normal = 0,
    Garbage = 1,    // text that is not a reply at all
    Oversized = 2,  // a success reply padded past 4096 UTF-16 units
    ShortPid = 3,   // a success reply whose process id has 7 hexadecimal digits
};

enum class FatalKind : uint32_t {
    None = 0,
    Generic = 1,     // ">FATAL:" without AUTH_FAILED, right after the hold is released
    AuthFailed = 2,  // ">FATAL:" with AUTH_FAILED, after the credentials were sent
};

enum class AuthRecord : uint32_t {
    Matched = 1,
    Mismatched = 2,
};

// Interactive service error codes.
inline constexpr uint32_t kErrorOpenVpnStartup = 0x20000000;
inline constexpr uint32_t kErrorStartupData =
    0x20000001;  // malformed startup data, refused options
inline constexpr uint32_t kErrorMessageData = 0x20000002;
inline constexpr uint32_t kErrorMessageType = 0x20000003;

// Readers: nullopt when the value is missing or of another type.
std::optional<uint32_t> ReadSwitchDword(const wchar_t* name);
std::optional<std::wstring> ReadSwitchString(const wchar_t* name);

// Writers of records; failures are ignored (a record is a test aid, never a reason to fail).
void WriteRecordDword(const wchar_t* name, uint32_t value);
void WriteRecordString(const wchar_t* name, const std::wstring& value);

}  // namespace lumet::sim::openvpn

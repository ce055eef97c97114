// The OpenVPN simulators run the way the agent runs them: the interactive service registered with
// the service manager as OpenVPNServiceInteractive, a raw client of its message-mode startup pipe,
// and a raw TCP client of the management interface of the openvpn.exe it starts. Covers the
// management transcripts the agent relies on, the exit paths, and every fault switch.
//
// Each test installs the service and removes it, ends every openvpn.exe it started, and clears
// the switches again, on every path.
#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "common/win_handle.h"
#include "sim/openvpn/sim_switches.h"
#include "support/openvpn_harness.h"
#include "test_util.h"

namespace lumet::test {
namespace {

namespace ovsim = sim::openvpn;

constexpr DWORD kIoLimitMs = 5000;
constexpr DWORD kExitLimitMs = 5000;
constexpr char kManagementPassword[] = "0123456789abcdef0123456789abcdef";
constexpr char kProfile[] =
    "client\n"
    "dev tun\n"
    "proto udp\n"
    "remote 192.0.2.10 11940\n"
    "# auth-nocache in a comment does not count\n"
    "auth-user-pass\n"
    "auth-nocache\n";

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Time stamps differ from run to run.
std::string NormaliseTimes(const std::string& text) {
    static const std::regex stamp(">STATE:[0-9]+,");
    return std::regex_replace(text, stamp, ">STATE:T,");
}

class OpenVpnSimTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(service_.Install());
        wchar_t temp[MAX_PATH] = {};
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        // A blank in the path makes the command line quote it.
        directory_ = std::wstring(temp) + L"ovs sim " + UniqueSuffixW();
        ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr) ||
                    GetLastError() == ERROR_ALREADY_EXISTS);
        profile_path_ = directory_ + L"\\ovpn-1-0123456789abcdef.ovpn";
        ASSERT_TRUE(WriteWholeFile(profile_path_, kProfile));
        exit_event_name_ = L"Orrinfield-OpenVpnExit-" + UniqueSuffixW() + L"00ff";
        exit_event_.reset(CreateEventW(nullptr, TRUE, FALSE, exit_event_name_.c_str()));
        ASSERT_TRUE(exit_event_.valid());
        port_ = FreeLoopbackPort();
        ASSERT_NE(port_, 0);
    }

    void TearDown() override {
        client_.Close();
        for (common::UniqueKernelHandle& process : processes_) {
            if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 2000);
            }
        }
        service_.Remove();
        DeleteFileW(profile_path_.c_str());
        RemoveDirectoryW(directory_.c_str());
    }

    std::wstring Options() const {
        return L"--config \"" + profile_path_ + L"\" --management 127.0.0.1 " +
               std::to_wstring(port_) +
               L" stdin --management-hold --management-query-passwords --management-signal "
               L"--service " +
               exit_event_name_ + L" 0";
    }

    InteractiveExchange Exchange(const std::wstring& message, DWORD limit_ms = kIoLimitMs) {
        InteractiveExchange exchange = ExchangeWithInteractiveService(message, limit_ms);
        const InteractiveReply reply = ParseInteractiveReply(exchange.reply);
        if (reply.well_formed && reply.code == 0 && reply.pid != 0) {
            Track(reply.pid);
        }
        return exchange;
    }

    void Track(DWORD pid) {
        common::UniqueKernelHandle process(OpenProcess(
            PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (process.valid()) {
            processes_.push_back(std::move(process));
        }
    }

    // Launches openvpn.exe through the service with the standard options; the process handle.
    HANDLE Launch() {
        const InteractiveExchange exchange = Exchange(
            StartupMessage(directory_, Options(), Widen(std::string(kManagementPassword) + "\n")));
        EXPECT_TRUE(exchange.answered);
        EXPECT_EQ(exchange.server_pid, service_.ProcessId());
        const InteractiveReply reply = ParseInteractiveReply(exchange.reply);
        EXPECT_TRUE(reply.well_formed) << Narrow(exchange.reply);
        EXPECT_EQ(reply.code, 0u) << Narrow(exchange.reply);
        EXPECT_EQ(reply.message, L"Process ID");
        return processes_.empty() ? nullptr : processes_.back().get();
    }

    static std::string Narrow(const std::wstring& text) {
        std::string out;
        for (wchar_t c : text) {
            out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
        return out;
    }

    // Connects and authenticates; returns the text up to and including the hold message.
    std::string Authenticate() {
        EXPECT_TRUE(client_.Connect(port_, kIoLimitMs));
        bool found = false;
        EXPECT_EQ(client_.ReadUntil("ENTER PASSWORD:", kIoLimitMs, &found), "ENTER PASSWORD:");
        client_.Send(std::string(kManagementPassword) + "\n");
        return client_.ReadUntil(">HOLD:Waiting for hold release:0\r\n", kIoLimitMs);
    }

    // What the agent sends on the hold message; returns the replies and the first prompt.
    std::string ReleaseHold() {
        client_.Send("state on\n");
        client_.Send("bytecount 1\n");
        client_.Send("hold release\n");
        return client_.ReadUntil("SUCCESS: hold release succeeded\r\n", kIoLimitMs);
    }

    std::string SendCredentials(const std::string& username, const std::string& password) {
        client_.Send("username \"Auth\" \"" + username + "\"\n");
        client_.Send("password \"Auth\" \"" + password + "\"\n");
        return client_.ReadUntil("'Auth' password entered, but not yet verified\r\n", kIoLimitMs);
    }

    static std::optional<DWORD> ExitCode(HANDLE process, DWORD limit_ms) {
        if (process == nullptr || WaitForSingleObject(process, limit_ms) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        return code;
    }

    OpenVpnSimSwitches switches_;
    InteractiveServiceSim service_;
    std::wstring directory_;
    std::wstring profile_path_;
    std::wstring exit_event_name_;
    common::UniqueEvent exit_event_;
    uint16_t port_ = 0;
    ManagementTestClient client_;
    std::vector<common::UniqueKernelHandle> processes_;
};

TEST_F(OpenVpnSimTest, ConnectsWithCorrectPasswordAndCredentials) {
    HANDLE process = Launch();
    ASSERT_NE(process, nullptr);

    EXPECT_EQ(Authenticate(),
              "SUCCESS: password is correct\r\n"
              ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
              ">HOLD:Waiting for hold release:0\r\n");
    EXPECT_EQ(ReleaseHold(),
              "SUCCESS: real-time state notification set to ON\r\n"
              "SUCCESS: bytecount interval changed\r\n"
              "SUCCESS: hold release succeeded\r\n");
    EXPECT_EQ(client_.ReadUntil("\r\n", kIoLimitMs), ">PASSWORD:Need 'Auth' username/password\r\n");
    EXPECT_EQ(SendCredentials(ovsim::kDefaultUsername, ovsim::kDefaultPassword),
              "SUCCESS: 'Auth' username entered, but not yet verified\r\n"
              "SUCCESS: 'Auth' password entered, but not yet verified\r\n");
    EXPECT_EQ(NormaliseTimes(client_.ReadUntil(">BYTECOUNT:2944,1072\r\n", kIoLimitMs)),
              ">STATE:T,WAIT,,,,,,\r\n"
              ">STATE:T,AUTH,,,,,,\r\n"
              ">STATE:T,ASSIGN_IP,,10.99.0.6,,,,\r\n"
              ">STATE:T,ADD_ROUTES,,,,,,\r\n"
              ">STATE:T,CONNECTED,SUCCESS,10.99.0.6,192.0.2.10,11940,,\r\n"
              ">BYTECOUNT:2944,1072\r\n");
    // The next count, one interval later, has grown.
    const std::string next = client_.ReadUntil("\r\n", 3000);
    std::smatch counts;
    ASSERT_TRUE(std::regex_match(next, counts, std::regex(">BYTECOUNT:([0-9]+),([0-9]+)\r\n")))
        << next;
    EXPECT_GT(std::stoull(counts[1]), 2944u);
    EXPECT_GT(std::stoull(counts[2]), 1072u);

    client_.Send("signal SIGTERM\n");
    EXPECT_EQ(NormaliseTimes(client_.ReadUntil("EXITING,SIGTERM,,,,,\r\n", kIoLimitMs)),
              "SUCCESS: signal SIGTERM thrown\r\n>STATE:T,EXITING,SIGTERM,,,,,\r\n");
    EXPECT_TRUE(client_.WaitClosed(kExitLimitMs));
    EXPECT_EQ(ExitCode(process, kExitLimitMs), 0u);

    // What reached the simulators: facts only, never the secrets themselves.
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastManagementAuth), 1u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastCredentials), 1u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastConfigAuthNocache), 1u);
    EXPECT_EQ(OpenVpnSimSwitches::ReadString(ovsim::kLastOptions), Options());
    EXPECT_EQ(OpenVpnSimSwitches::ReadString(ovsim::kLastWorkingDirectory), directory_);
    const std::wstring command_line =
        OpenVpnSimSwitches::ReadString(ovsim::kLastCommandLine).value_or(L"");
    EXPECT_NE(command_line.find(Options()), std::wstring::npos) << Narrow(command_line);
    for (const wchar_t* record : {ovsim::kLastOptions, ovsim::kLastCommandLine}) {
        const std::string text = Narrow(OpenVpnSimSwitches::ReadString(record).value_or(L""));
        EXPECT_EQ(text.find(kManagementPassword), std::string::npos);
        EXPECT_EQ(text.find(ovsim::kDefaultPassword), std::string::npos);
    }
}

TEST_F(OpenVpnSimTest, CredentialsRejected) {
    struct Case {
        const char* name;
        const char* password;
        bool reject_switch;
    };
    const Case cases[] = {
        {"wrong password", "not-the-password", false},
        {"switch rejects the right pair", ovsim::kDefaultPassword, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenVpnSimSwitches::Clear();
        if (c.reject_switch) {
            ASSERT_TRUE(switches_.Set(ovsim::kRejectCredentials, 1));
        }
        HANDLE process = Launch();
        ASSERT_NE(process, nullptr);
        Authenticate();
        ReleaseHold();
        client_.ReadUntil("username/password\r\n", kIoLimitMs);
        SendCredentials(ovsim::kDefaultUsername, c.password);
        EXPECT_EQ(NormaliseTimes(client_.ReadUntil("auth-failure,,,,,\r\n", kIoLimitMs)),
                  ">STATE:T,WAIT,,,,,,\r\n"
                  ">STATE:T,AUTH,,,,,,\r\n"
                  ">PASSWORD:Verification Failed: 'Auth'\r\n"
                  ">STATE:T,EXITING,auth-failure,,,,,\r\n");
        EXPECT_TRUE(client_.WaitClosed(kExitLimitMs));
        EXPECT_EQ(ExitCode(process, kExitLimitMs), 1u);
        EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastCredentials), 2u);
        port_ = FreeLoopbackPort();
    }
}

// Values travel in OpenVPN's quoting: a backslash before every backslash and double quote.
TEST_F(OpenVpnSimTest, EscapedCredentialsAreUnquoted) {
    ASSERT_TRUE(switches_.Set(ovsim::kAuthUsername, std::wstring(L"we\"ird\\user")));
    ASSERT_TRUE(switches_.Set(ovsim::kAuthPassword, std::wstring(L"p a\\ss\"")));
    HANDLE process = Launch();
    ASSERT_NE(process, nullptr);
    Authenticate();
    ReleaseHold();
    client_.ReadUntil("username/password\r\n", kIoLimitMs);
    SendCredentials("we\\\"ird\\\\user", "p a\\\\ss\\\"");
    bool connected = false;
    client_.ReadUntil(",CONNECTED,SUCCESS,", kIoLimitMs, &connected);
    EXPECT_TRUE(connected);
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastCredentials), 1u);
}

TEST_F(OpenVpnSimTest, WrongManagementPasswordIsAskedForAgain) {
    ASSERT_NE(Launch(), nullptr);
    ASSERT_TRUE(client_.Connect(port_, kIoLimitMs));
    EXPECT_EQ(client_.ReadUntil("ENTER PASSWORD:", kIoLimitMs), "ENTER PASSWORD:");
    client_.Send("fedcba9876543210fedcba9876543210\n");
    // A second prompt and nothing else: no "ERROR:" line, no line end.
    EXPECT_EQ(client_.ReadFor(700), "ENTER PASSWORD:");
    EXPECT_FALSE(client_.closed_by_peer());
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastManagementAuth), 2u);

    client_.Send(std::string(kManagementPassword) + "\r\n");
    EXPECT_EQ(client_.ReadUntil("\r\n", kIoLimitMs), "SUCCESS: password is correct\r\n");
    EXPECT_EQ(OpenVpnSimSwitches::ReadDword(ovsim::kLastManagementAuth), 1u);
}

TEST_F(OpenVpnSimTest, ExitEventEndsOpenVpn) {
    HANDLE process = Launch();
    ASSERT_NE(process, nullptr);
    Authenticate();
    ReleaseHold();
    client_.ReadUntil("username/password\r\n", kIoLimitMs);
    SendCredentials(ovsim::kDefaultUsername, ovsim::kDefaultPassword);
    bool connected = false;
    client_.ReadUntil(",CONNECTED,", kIoLimitMs, &connected);
    ASSERT_TRUE(connected);

    ASSERT_TRUE(SetEvent(exit_event_.get()));
    bool exiting = false;
    client_.ReadUntil(",EXITING,SIGTERM,,,,,\r\n", kExitLimitMs, &exiting);
    EXPECT_TRUE(exiting);
    EXPECT_TRUE(client_.WaitClosed(kExitLimitMs));
    EXPECT_EQ(ExitCode(process, kExitLimitMs), 0u);
}

TEST_F(OpenVpnSimTest, EndingScenarios) {
    enum class Stage { AfterRelease, AfterCredentials };
    struct Case {
        const char* name;
        const wchar_t* switch_name;
        DWORD value;
        Stage stage;
        std::string expected;  // a regular expression over the text after the stage
        DWORD exit_code;
    };
    const Case cases[] = {
        {"generic fatal", ovsim::kFatal, 1, Stage::AfterRelease,
         ">FATAL:(?:(?!AUTH_FAILED)[^\r])+\r\n", 1},
        {"auth-failed fatal", ovsim::kFatal, 2, Stage::AfterCredentials,
         ">STATE:T,WAIT,,,,,,\r\n>STATE:T,AUTH,,,,,,\r\n>FATAL:[^\r]*AUTH_FAILED[^\r]*\r\n", 1},
        {"exit while connected", ovsim::kExitAfterConnectedMs, 300, Stage::AfterCredentials,
         "(>STATE:T,[A-Z_]+,[^\r]*\r\n)+>BYTECOUNT:2944,1072\r\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenVpnSimSwitches::Clear();
        ASSERT_TRUE(switches_.Set(c.switch_name, c.value));
        HANDLE process = Launch();
        ASSERT_NE(process, nullptr);
        Authenticate();
        ReleaseHold();
        if (c.stage == Stage::AfterCredentials) {
            client_.ReadUntil("username/password\r\n", kIoLimitMs);
            SendCredentials(ovsim::kDefaultUsername, ovsim::kDefaultPassword);
        }
        // Everything up to the end of the connection, which OpenVPN closes.
        const std::string text = NormaliseTimes(client_.ReadFor(kExitLimitMs));
        EXPECT_TRUE(client_.closed_by_peer());
        EXPECT_TRUE(std::regex_match(text, std::regex(c.expected))) << text;
        EXPECT_EQ(ExitCode(process, kExitLimitMs), c.exit_code);
        client_.Close();
        port_ = FreeLoopbackPort();
    }
}

TEST_F(OpenVpnSimTest, StallingScenarios) {
    struct Case {
        const char* name;
        const wchar_t* switch_name;
        bool send_credentials;
        std::string expected;
        std::string never;
    };
    const Case cases[] = {
        {"private-key prompt", ovsim::kPrivateKeyPrompt, false,
         ">PASSWORD:Need 'Private Key' password\r\n", "'Auth'"},
        {"never connects", ovsim::kNeverConnect, true,
         ">STATE:T,WAIT,,,,,,\r\n>STATE:T,AUTH,,,,,,\r\n", "CONNECTED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenVpnSimSwitches::Clear();
        ASSERT_TRUE(switches_.Set(c.switch_name, 1));
        HANDLE process = Launch();
        ASSERT_NE(process, nullptr);
        Authenticate();
        ReleaseHold();
        if (c.send_credentials) {
            client_.ReadUntil("username/password\r\n", kIoLimitMs);
            SendCredentials(ovsim::kDefaultUsername, ovsim::kDefaultPassword);
        }
        const std::string text = NormaliseTimes(client_.ReadFor(1200));
        EXPECT_EQ(text, c.expected);
        EXPECT_EQ(text.find(c.never), std::string::npos);
        EXPECT_EQ(WaitForSingleObject(process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        // Still answers commands, and goes when told to.
        client_.Send("signal SIGTERM\n");
        EXPECT_TRUE(client_.WaitClosed(kExitLimitMs));
        EXPECT_EQ(ExitCode(process, kExitLimitMs), 0u);
        client_.Close();
        port_ = FreeLoopbackPort();
    }
}

TEST_F(OpenVpnSimTest, SlowGreeting) {
    ASSERT_TRUE(switches_.Set(ovsim::kGreetingDelayMs, 800));
    ASSERT_NE(Launch(), nullptr);
    ASSERT_TRUE(client_.Connect(port_, kIoLimitMs));
    const ULONGLONG connected = GetTickCount64();
    EXPECT_EQ(client_.ReadFor(500), "");
    EXPECT_EQ(client_.ReadUntil("ENTER PASSWORD:", kIoLimitMs), "ENTER PASSWORD:");
    EXPECT_GE(GetTickCount64() - connected, 780u);
}

TEST_F(OpenVpnSimTest, ErrorReplies) {
    struct Case {
        DWORD kind;
        uint32_t code;
        std::wstring text;
    };
    const Case cases[] = {
        {1, ovsim::kErrorStartupData, L"admin approval"},
        {2, ovsim::kErrorStartupData, L"Option '--config'"},
        {3, ovsim::kErrorMessageData, L"HandleMessage\n"},
        {4, ovsim::kErrorMessageType, L"HandleMessage\n"},
        {5, ovsim::kErrorOpenVpnStartup, L"StartOpenVPN\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        ASSERT_TRUE(switches_.Set(ovsim::kLaunchError, c.kind));
        const InteractiveExchange exchange =
            Exchange(StartupMessage(directory_, Options(), L"password\n"));
        ASSERT_TRUE(exchange.answered);
        const InteractiveReply reply = ParseInteractiveReply(exchange.reply);
        ASSERT_TRUE(reply.well_formed) << Narrow(exchange.reply);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_NE(reply.message.find(c.text), std::wstring::npos) << Narrow(reply.message);
        if (c.kind == 2) {
            // Only a refusal for lack of rights speaks of admin approval or administrators.
            EXPECT_EQ(reply.message.find(L"admin"), std::wstring::npos);
            EXPECT_EQ(reply.message.find(L"Administrators"), std::wstring::npos);
            EXPECT_EQ(reply.message.find(L"authorized"), std::wstring::npos);
        }
    }
    // Nothing was started.
    EXPECT_FALSE(OpenVpnSimSwitches::ReadString(ovsim::kLastCommandLine).has_value());
}

TEST_F(OpenVpnSimTest, MalformedRepliesStartNothing) {
    struct Case {
        DWORD shape;
        const char* expected;  // regular expression over the whole reply
    };
    const Case cases[] = {
        {1, "garbage [^\n]*\n"},
        {2, "0x00000000\n0x[0-9a-f]{8}\nProcess IDx{5000}"},
        {3, "0x00000000\n0x[0-9a-f]{7}\nProcess ID"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shape);
        ASSERT_TRUE(switches_.Set(ovsim::kReplyShape, c.shape));
        const InteractiveExchange exchange =
            Exchange(StartupMessage(directory_, Options(), L"password\n"));
        ASSERT_TRUE(exchange.answered);
        EXPECT_TRUE(std::regex_match(Narrow(exchange.reply), std::regex(c.expected)))
            << Narrow(exchange.reply).substr(0, 80);
    }
    EXPECT_FALSE(OpenVpnSimSwitches::ReadString(ovsim::kLastCommandLine).has_value());
}

TEST_F(OpenVpnSimTest, NoReplyAndSlowReply) {
    ASSERT_TRUE(switches_.Set(ovsim::kNoReply, 1));
    const InteractiveExchange silent =
        Exchange(StartupMessage(directory_, Options(), L"password\n"), 1500);
    EXPECT_TRUE(silent.written);
    EXPECT_FALSE(silent.answered);

    OpenVpnSimSwitches::Clear();
    ASSERT_TRUE(switches_.Set(ovsim::kReplyDelayMs, 1000));
    const ULONGLONG started = GetTickCount64();
    HANDLE process = Launch();
    EXPECT_GE(GetTickCount64() - started, 980u);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(SetEvent(exit_event_.get()));
    EXPECT_EQ(ExitCode(process, kExitLimitMs), 0u);
}

TEST_F(OpenVpnSimTest, StartupFailuresAreReported) {
    // Two fields instead of three.
    std::wstring two_fields = directory_;
    two_fields.push_back(L'\0');
    two_fields += Options();
    two_fields.push_back(L'\0');
    const InteractiveReply malformed = ParseInteractiveReply(Exchange(two_fields).reply);
    ASSERT_TRUE(malformed.well_formed);
    EXPECT_EQ(malformed.code, ovsim::kErrorStartupData);

    // A working directory that does not exist: the process cannot be created.
    const InteractiveReply no_directory = ParseInteractiveReply(
        Exchange(StartupMessage(directory_ + L"\\missing", Options(), L"password\n")).reply);
    ASSERT_TRUE(no_directory.well_formed);
    EXPECT_NE(no_directory.code, 0u);
    EXPECT_EQ(no_directory.code & 0x20000000u, 0u);
    EXPECT_EQ(no_directory.message.rfind(L"CreateProcess\n", 0), 0u)
        << Narrow(no_directory.message);

    // The program to start is missing.
    ASSERT_TRUE(switches_.Set(ovsim::kOpenVpnExe, directory_ + L"\\absent\\openvpn.exe"));
    const InteractiveReply no_program =
        ParseInteractiveReply(Exchange(StartupMessage(directory_, Options(), L"password\n")).reply);
    ASSERT_TRUE(no_program.well_formed);
    EXPECT_TRUE(no_program.code == ERROR_PATH_NOT_FOUND || no_program.code == ERROR_FILE_NOT_FOUND)
        << no_program.code;
    EXPECT_EQ(no_program.message.rfind(L"CreateProcess\n", 0), 0u);
    OpenVpnSimSwitches::Clear();

    // A profile that is not there: OpenVPN starts, then stops with an error at once.
    ASSERT_TRUE(DeleteFileW(profile_path_.c_str()));
    HANDLE process = Launch();
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(ExitCode(process, kExitLimitMs), 1u);
    EXPECT_FALSE(client_.Connect(port_, 300));
}

}  // namespace
}  // namespace lumet::test

// openvpn.exe stand-in, started by the interactive-service simulator the way OpenVPN's
// interactive service starts OpenVPN:
//
//   openvpn.exe --config <file> --management 127.0.0.1 <port> stdin --management-hold
//               --management-query-passwords --management-signal --service <exit event> 0
//
// Reads the profile (it must exist), the management password from the first line of standard
// input, opens the exit event and serves the management interface on 127.0.0.1:<port> until
// "signal SIGTERM", the exit event, a fatal error or rejected credentials end it. Switches and
// records are in sim_switches.h. Nothing secret is ever printed or recorded. Test tooling only.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/openvpn/management_sim.h"
#include "sim/openvpn/scoped_handle.h"
#include "sim/openvpn/sim_switches.h"

namespace lumet::sim::openvpn {
namespace {

constexpr DWORD kMaxProfileBytes = 1024 * 1024;
constexpr size_t kMaxPasswordBytes = 1024;
constexpr char kVersionTag[] = "(2.6.14 simulator)";

struct Options {
    std::wstring config;
    bool management = false;
    std::wstring management_address;
    std::wstring management_port;
    bool password_from_stdin = false;
    bool hold = false;
    bool query_passwords = false;
    bool signal = false;
    std::wstring exit_event;
};

int OptionsError(const std::wstring& detail) {
    std::fwprintf(stderr, L"Options error: %ls %hs\n", detail.c_str(), kVersionTag);
    return 1;
}

// Parses the options the agent passes. Returns 0, or the exit code after a message.
int ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        // Values of an option run up to the next word that starts with "--".
        std::vector<std::wstring> values;
        while (i + 1 < argc && std::wstring(argv[i + 1]).rfind(L"--", 0) != 0) {
            values.emplace_back(argv[++i]);
        }
        const size_t n = values.size();
        if (name == L"--config" && n == 1) {
            options.config = values[0];
        } else if (name == L"--management" && (n == 2 || n == 3)) {
            options.management = true;
            options.management_address = values[0];
            options.management_port = values[1];
            if (n == 3 && values[2] != L"stdin") {
                return OptionsError(L"the simulator reads the management password from stdin only");
            }
            options.password_from_stdin = n == 3;
        } else if (name == L"--management-hold" && n == 0) {
            options.hold = true;
        } else if (name == L"--management-query-passwords" && n == 0) {
            options.query_passwords = true;
        } else if (name == L"--management-signal" && n == 0) {
            options.signal = true;
        } else if (name == L"--service" && (n == 1 || n == 2)) {
            if (n == 2 && values[1] != L"0" && values[1] != L"1") {
                return OptionsError(L"--service: the second parameter must be 0 or 1");
            }
            options.exit_event = values[0];
        } else {
            return OptionsError(
                L"Unrecognized option or missing or extra parameter(s) in "
                L"[CMD-LINE]:1: " +
                name.substr(name.rfind(L"--", 0) == 0 ? 2 : 0));
        }
    }
    if (options.config.empty()) {
        return OptionsError(L"no --config file given");
    }
    if (!options.management) {
        return OptionsError(L"the simulator needs --management");
    }
    return 0;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxProfileBytes) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size()) - done,
                      &got, nullptr) ||
            got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

// What the simulator takes from the profile: whether a non-comment line starts with the word
// "auth-nocache", and the first "remote" (when its host is an IPv4 address, for the CONNECTED
// state).
struct ProfileFacts {
    bool auth_nocache = false;
    std::string remote_host = "127.0.0.1";
    std::string remote_port = "1194";
};

ProfileFacts ReadProfileFacts(const std::string& text) {
    ProfileFacts facts;
    bool remote_seen = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::vector<std::string> words;
        std::string word;
        for (size_t i = at; i <= end; ++i) {
            const char c = i < end ? text[i] : ' ';
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!word.empty()) {
                    words.push_back(word);
                }
                word.clear();
            } else {
                word.push_back(c);
            }
        }
        at = end + 1;
        if (words.empty() || words[0][0] == '#' || words[0][0] == ';') {
            continue;
        }
        if (words[0] == "auth-nocache") {
            facts.auth_nocache = true;
        } else if (words[0] == "remote" && words.size() >= 2 && !remote_seen) {
            remote_seen = true;
            in_addr parsed = {};
            if (inet_pton(AF_INET, words[1].c_str(), &parsed) == 1) {
                facts.remote_host = words[1];
            }
            if (words.size() >= 3) {
                facts.remote_port = words[2];
            }
        }
    }
    return facts;
}

// The first line of standard input, without its line end. False when there is none.
bool ReadPasswordLine(std::string& password) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char c = 0;
    DWORD got = 0;
    while (password.size() < kMaxPasswordBytes && ReadFile(input, &c, 1, &got, nullptr) &&
           got == 1) {
        if (c == '\n') {
            break;
        }
        password.push_back(c);
    }
    c = 0;
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return !password.empty();
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

TunnelSwitches ReadTunnelSwitches() {
    TunnelSwitches s;
    s.greeting_delay_ms = ReadSwitchDword(kGreetingDelayMs).value_or(0);
    s.reject_credentials = ReadSwitchDword(kRejectCredentials).value_or(0) != 0;
    s.fatal = ReadSwitchDword(kFatal).value_or(0);
    s.exit_after_connected_ms = ReadSwitchDword(kExitAfterConnectedMs).value_or(0);
    s.never_connect = ReadSwitchDword(kNeverConnect).value_or(0) != 0;
    s.private_key_prompt = ReadSwitchDword(kPrivateKeyPrompt).value_or(0) != 0;
    s.state_step_ms = ReadSwitchDword(kStateStepMs).value_or(100);
    const auto to_utf8 = [](const std::wstring& w) {
        std::string out(
            static_cast<size_t>(WideCharToMultiByte(
                CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr)),
            '\0');
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr);
        return out;
    };
    const auto username = ReadSwitchString(kAuthUsername);
    auto password = ReadSwitchString(kAuthPassword);
    s.username = username ? to_utf8(*username) : kDefaultUsername;
    s.password = password ? to_utf8(*password) : kDefaultPassword;
    if (password) {
        Wipe(*password);
    }
    return s;
}

SOCKET Listen(const Options& options) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    const std::string host = Narrow(options.management_address);
    const unsigned long port = std::wcstoul(options.management_port.c_str(), nullptr, 10);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 || port == 0 || port > 65535) {
        std::fwprintf(stderr, L"Options error: --management needs an IPv4 address and a port\n");
        return INVALID_SOCKET;
    }
    address.sin_port = htons(static_cast<u_short>(port));
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof(exclusive));
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 1) != 0) {
        std::fwprintf(stderr, L"MANAGEMENT: Socket bind failed on local address %hs:%lu (%d)\n",
                      host.c_str(), port, WSAGetLastError());
        closesocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}

int Run(int argc, wchar_t** argv) {
    WriteRecordString(kLastCommandLine, GetCommandLineW());
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    WriteRecordString(kLastWorkingDirectory, cwd);

    Options options;
    if (const int error = ParseOptions(argc, argv, options); error != 0) {
        return error;
    }

    std::string profile;
    if (!ReadFileBytes(options.config, profile)) {
        Wipe(profile);
        std::fwprintf(stderr,
                      L"Options error: In [CMD-LINE]:1: Error opening configuration file: %ls\n",
                      options.config.c_str());
        return 1;
    }
    const ProfileFacts facts = ReadProfileFacts(profile);
    Wipe(profile);
    WriteRecordDword(kLastConfigAuthNocache, facts.auth_nocache ? 1 : 0);

    ManagementSetup setup;
    if (options.password_from_stdin) {
        setup.has_password = ReadPasswordLine(setup.password);
        if (!setup.has_password) {
            std::fwprintf(stderr, L"ERROR: could not read the management password from stdin\n");
            return 1;
        }
    }
    ScopedHandle exit_event;
    if (!options.exit_event.empty()) {
        exit_event.reset(OpenEventW(SYNCHRONIZE, FALSE, options.exit_event.c_str()));
        if (!exit_event.valid()) {
            Wipe(setup.password);
            std::fwprintf(stderr, L"openvpn: cannot open the exit event %ls (%lu)\n",
                          options.exit_event.c_str(), GetLastError());
            return 1;
        }
    }

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        Wipe(setup.password);
        return 1;
    }
    setup.listener = Listen(options);
    if (setup.listener == INVALID_SOCKET) {
        Wipe(setup.password);
        WSACleanup();
        return 1;
    }
    setup.hold = options.hold;
    setup.query_passwords = options.query_passwords;
    setup.exit_event = exit_event.get();
    setup.remote_host = facts.remote_host;
    setup.remote_port = facts.remote_port;
    const int code = RunManagement(std::move(setup), ReadTunnelSwitches());
    WSACleanup();
    return code;
}

}  // namespace
}  // namespace lumet::sim::openvpn

int wmain(int argc, wchar_t** argv) {
    return lumet::sim::openvpn::Run(argc, argv);
}

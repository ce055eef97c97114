// openvpn.exe that runs Debian's Linux OpenVPN (/usr/sbin/openvpn) in its place, so that tests
// drive the real program through the interactive-service simulator. It takes the options the
// agent passes:
//
//   openvpn.exe --config <file> --management 127.0.0.1 <port> stdin --management-hold
//               --management-query-passwords --management-signal --service <exit event> 0
//
// and starts, through /bin/sh, `openvpn` with the same options except that the configuration path
// becomes its Unix path, the management password comes from a file descriptor instead of a console
// ("stdin" on Linux means the terminal), and `--service` stays here: this program ends OpenVPN
// (SIGTERM, then SIGKILL) once the exit event is set, as OpenVPN for Windows ends itself. Its exit
// code is OpenVPN's.
//
// Wine starts Unix programs with CreateProcessW but cannot wait for them, and hands them files,
// not pipes, as standard input. So: the management password goes into a file inside a directory
// only its owner can enter; the file becomes the shell's standard input and is deleted as soon as
// the shell is started (the open descriptor stays readable). The shell reports through files in
// that directory (OpenVPN's exit code), takes orders through files (stop, kill) and ends OpenVPN
// by itself when this program stops renewing a heartbeat file, so that a bridge that was
// terminated leaves nothing running. Test tooling only.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/openvpn/scoped_handle.h"
#include "sim/openvpn/sim_switches.h"

namespace lumet::sim::openvpn {
namespace {

constexpr DWORD kPollMs = 100;
constexpr DWORD kStopWaitMs = 4000;   // inside the agent's 5 s stop grace
constexpr DWORD kSetupWaitMs = 5000;  // for the private directory to appear
constexpr DWORD kHeartbeatMs = 500;   // the shell allows 3 s without one

// Runs OpenVPN in the background, then watches the order files and the heartbeat every 0.2 s.
// $1: the private directory, $2...: OpenVPN's arguments. The shell opens the password file and
// removes it at once; OpenVPN reads it from the open descriptor as its standard input.
constexpr char kShellScript[] =
    "d=$1; shift\n"
    "exec 3<\"$d/management\" </dev/null\n"
    "rm -f \"$d/management\"\n"
    "/usr/sbin/openvpn \"$@\" 0<&3 3<&- >\"$d/openvpn.log\" 2>&1 &\n"
    "ovpn=$!\n"
    "exec 3<&-\n"
    "(n=0; stopped=0\n"
    " while kill -0 \"$ovpn\" 2>/dev/null; do\n"
    "  if [ -e \"$d/kill\" ]; then kill -KILL \"$ovpn\"; fi\n"
    "  if [ $stopped = 0 ] && [ -e \"$d/stop\" ]; then stopped=1; kill -TERM \"$ovpn\"; fi\n"
    "  n=$((n+1))\n"
    "  if [ $n -ge 15 ]; then n=0\n"
    "   if [ ! -e \"$d/alive\" ]; then kill -TERM \"$ovpn\"; sleep 3; kill -KILL \"$ovpn\"; fi\n"
    "   rm -f \"$d/alive\"; fi\n"
    "  sleep 0.2\n"
    " done) </dev/null >/dev/null 2>&1 &\n"
    "wait \"$ovpn\"; rc=$?\n"
    "echo $rc >\"$d/exit.tmp\" && mv \"$d/exit.tmp\" \"$d/exit\"\n";

using UnixNameFn = char*(CDECL*)(const WCHAR*);

int Fail(const char* what) {
    std::fprintf(stderr, "openvpn bridge: %s\n", what);
    return 1;
}

std::string UnixPath(const std::wstring& windows_path) {
    static const auto to_unix = reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!to_unix) {
        return {};
    }
    char* name = to_unix(windows_path.c_str());
    if (!name) {
        return {};
    }
    std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// One argument of a Windows command line, quoted so that Wine's split gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// Starts a Unix program; `input` (may be null) becomes its standard input.
bool StartUnix(const std::vector<std::wstring>& argv, HANDLE input) {
    std::wstring line;
    for (const auto& a : argv) {
        line += (line.empty() ? L"" : L" ") + Quote(a);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    // Wine gives no usable handles for a Unix process; both are closed here.
    ScopedHandle thread(info.hThread);
    ScopedHandle process(info.hProcess);
    return true;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Touch(const std::wstring& path) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

bool WaitFor(const std::wstring& path, DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (!Exists(path)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

bool WaitGone(const std::wstring& path, DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (Exists(path)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::string ReadSmallFile(const std::wstring& path) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[4096];
    DWORD got = 0;
    if (!file.valid() || !ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
        return {};
    }
    return std::string(buffer, got);
}

void AppendOpenVpnLog(const std::wstring& directory) {
    const auto target = ReadSwitchString(L"BridgeLog");
    if (!target || target->empty()) {
        return;
    }
    std::string log;
    ScopedHandle in(CreateFileW((directory + L"\\openvpn.log").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[8192];
    DWORD got = 0;
    while (in.valid() && ReadFile(in.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        log.append(buffer, got);
    }
    ScopedHandle out(CreateFileW(target->c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (out.valid()) {
        WriteFile(out.get(), log.data(), static_cast<DWORD>(log.size()), &written, nullptr);
    }
}

void RemoveDirectoryTree(const std::wstring& directory) {
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") {
                DeleteFileW((directory + L"\\" + name).c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(directory.c_str());
}

// The management password: the first line of standard input, without its line end.
std::string ReadPasswordLine() {
    std::string line;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char c = 0;
    DWORD got = 0;
    while (line.size() < 1024 && ReadFile(in, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        line += c;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

struct Arguments {
    std::vector<std::wstring> openvpn;  // for the Linux program
    std::wstring exit_event;
    bool password_from_stdin = false;
};

// Maps the agent's options; false for anything the agent does not pass.
bool MapArguments(int argc, wchar_t** argv, Arguments& out) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        std::vector<std::wstring> values;
        while (i + 1 < argc && std::wstring(argv[i + 1]).rfind(L"--", 0) != 0) {
            values.emplace_back(argv[++i]);
        }
        if (name == L"--config" && values.size() == 1) {
            const std::string unix_path = UnixPath(values[0]);
            if (unix_path.empty()) {
                return false;
            }
            out.openvpn.insert(out.openvpn.end(), {name, Wide(unix_path)});
        } else if (name == L"--management" && values.size() == 3 && values[2] == L"stdin") {
            out.password_from_stdin = true;
            out.openvpn.insert(out.openvpn.end(), {name, values[0], values[1], L"/dev/fd/0"});
        } else if (name == L"--service" && (values.size() == 1 || values.size() == 2)) {
            out.exit_event = values[0];
        } else if ((name == L"--management-hold" || name == L"--management-query-passwords" ||
                    name == L"--management-signal") &&
                   values.empty()) {
            out.openvpn.push_back(name);
        } else {
            return false;
        }
    }
    return !out.exit_event.empty() && out.password_from_stdin;
}

int Run(int argc, wchar_t** argv) {
    Arguments args;
    if (!MapArguments(argc, argv, args)) {
        return Fail("options the bridge does not take");
    }
    ScopedHandle exit_event(OpenEventW(SYNCHRONIZE, FALSE, args.exit_event.c_str()));
    if (!exit_event.valid()) {
        return Fail("the exit event cannot be opened");
    }
    std::string password = ReadPasswordLine();

    // A private directory, made by mkdir so that its mode is 0700 (Wine's own directories are
    // open to every user).
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring directory = std::wstring(temp) + L"openvpn-bridge-" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(GetTickCount64());
    const std::string unix_directory = UnixPath(directory);
    if (unix_directory.empty() ||
        !StartUnix({L"/bin/mkdir", L"-m", L"700", Wide(unix_directory)}, nullptr) ||
        !WaitFor(directory, kSetupWaitMs)) {
        Wipe(password);
        return Fail("no private directory");
    }

    const std::wstring password_file = directory + L"\\management";
    ScopedHandle secret(CreateFileW(password_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    password += '\n';
    DWORD written = 0;
    const bool stored = secret.valid() &&
                        WriteFile(secret.get(), password.data(),
                                  static_cast<DWORD>(password.size()), &written, nullptr) &&
                        written == password.size();
    Wipe(password);
    secret.reset();
    std::vector<std::wstring> shell = {L"/bin/sh", L"-c", Wide(kShellScript), L"openvpn-bridge",
                                       Wide(unix_directory)};
    shell.insert(shell.end(), args.openvpn.begin(), args.openvpn.end());
    // The shell removes the file once it holds it open (OpenVPN reads it later, so its bytes
    // cannot be overwritten first); a file still there after the wait is removed here.
    const bool started = stored && Touch(directory + L"\\alive") && StartUnix(shell, nullptr) &&
                         WaitGone(password_file, kSetupWaitMs);
    DeleteFileW(password_file.c_str());
    if (!started) {
        RemoveDirectoryTree(directory);
        return Fail("openvpn could not be started");
    }

    const std::wstring exit_file = directory + L"\\exit";
    ULONGLONG stop_deadline = 0;
    ULONGLONG next_heartbeat = 0;
    bool killed = false;
    while (!Exists(exit_file)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= next_heartbeat) {
            Touch(directory + L"\\alive");
            next_heartbeat = now + kHeartbeatMs;
        }
        if (stop_deadline == 0 && WaitForSingleObject(exit_event.get(), 0) == WAIT_OBJECT_0) {
            Touch(directory + L"\\stop");
            stop_deadline = now + kStopWaitMs;
        }
        if (stop_deadline != 0 && now >= stop_deadline && !killed) {
            Touch(directory + L"\\kill");
            killed = true;
        }
        if (killed && now >= stop_deadline + kStopWaitMs) {
            break;  // the shell is gone too; nothing more to learn
        }
        Sleep(kPollMs);
    }
    const std::string code = ReadSmallFile(exit_file);
    AppendOpenVpnLog(directory);
    RemoveDirectoryTree(directory);
    return code.empty() ? 1 : std::atoi(code.c_str());
}

}  // namespace
}  // namespace lumet::sim::openvpn

int wmain(int argc, wchar_t** argv) {
    return lumet::sim::openvpn::Run(argc, argv);
}

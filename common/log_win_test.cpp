#include "common/log.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <initguid.h>  // FOLDERID_ProgramData without uuid.lib
#include <knownfolders.h>
#include <shlobj.h>

#include <atomic>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/log_for_testing.h"
#include "common/log_format.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::common {
namespace {

// The cross-process tests start this executable again with these variables set, running only
// the disabled helper test below.
constexpr wchar_t kRoleVariable[] = L"LUMET_LOG_TEST_ROLE";
constexpr wchar_t kNameVariable[] = L"LUMET_LOG_TEST_NAME";
constexpr wchar_t kTurnVariable[] = L"LUMET_LOG_TEST_TURN";
constexpr int kChildLines = 100;
constexpr DWORD kChildTimeoutMs = 60000;
constexpr DWORD kTurnTimeoutMs = 15000;

// The two processes of the shared-file test take turns through a pair of auto-reset events named
// "<base>.parent" and "<base>.child".
std::wstring TurnEventName(const std::wstring& base, const wchar_t* side) {
    return L"Local\\" + base + L"." + side;
}

std::wstring ProgramData() {
    UniqueCoTaskPtr<wchar_t> path;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, path.put())) || !path) {
        return std::wstring();
    }
    return path.get();
}

std::wstring LogPath(const std::wstring& name) {
    return ProgramData() + L"\\Orrinfield\\vpn\\logs\\" + name + L".log";
}

std::optional<std::string> ReadWholeFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Splits on "\r\n"; a trailing piece without one is returned as the last element.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

bool HasTimestamp(const std::string& line) {
    const std::string_view pattern = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (line.size() < pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

// The part of a line after the timestamp, or "" when the line does not start with one.
std::string AfterTimestamp(const std::string& line) {
    return HasTimestamp(line) ? line.substr(24) : std::string();
}

class LogFileTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(ProgramData().empty());
        log_testing::ResetLogState();
    }
    void TearDown() override {
        // Closes this process's handle so that the files can be deleted.
        log_testing::ResetLogState();
        for (const std::wstring& path : cleanup_) {
            DeleteFileW(path.c_str());
        }
    }

    // A component name no other test process uses; its file is deleted afterwards.
    std::wstring NewName(const wchar_t* tag) {
        const std::wstring name = L"logtest-" + std::wstring(tag) + L"-" + test::UniqueSuffixW();
        cleanup_.push_back(LogPath(name));
        return name;
    }
    std::wstring NewTempFile() {
        wchar_t dir[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, dir);
        const std::wstring path = std::wstring(dir) + L"logtest-" + test::UniqueSuffixW() + L".txt";
        cleanup_.push_back(path);
        return path;
    }

    // Runs the helper test in a new process with `role` (and `name`), its standard error going
    // to `stderr_path`. The child is returned running; the caller waits (bounded).
    UniqueProcess StartChild(const wchar_t* role, const std::wstring& name,
                             const std::wstring& stderr_path, const std::wstring& turn = L"") {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        UniqueHandle err(CreateFileW(stderr_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        UniqueHandle out(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr));
        if (!err || !out) {
            ADD_FAILURE() << "cannot create the child's output files: " << GetLastError();
            return UniqueProcess();
        }
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(exe) +
                               L"\" --gtest_filter=LogChildProcess.DISABLED_Helper"
                               L" --gtest_also_run_disabled_tests";
        SetEnvironmentVariableW(kRoleVariable, role);
        SetEnvironmentVariableW(kNameVariable, name.c_str());
        SetEnvironmentVariableW(kTurnVariable, turn.c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        UniqueProcessInformation info;
        const BOOL started =
            CreateProcessW(nullptr, command.data(), nullptr, nullptr,
                           /*bInheritHandles=*/TRUE, 0, nullptr, nullptr, &startup, info.put());
        const DWORD error = GetLastError();
        SetEnvironmentVariableW(kRoleVariable, nullptr);
        SetEnvironmentVariableW(kNameVariable, nullptr);
        SetEnvironmentVariableW(kTurnVariable, nullptr);
        if (!started) {
            ADD_FAILURE() << "CreateProcessW failed: " << error;
            return UniqueProcess();
        }
        return info.release_process();
    }

    static void WaitForChild(const UniqueProcess& child) {
        ASSERT_TRUE(child);
        if (WaitForSingleObject(child.get(), kChildTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(child.get(), 1);
            FAIL() << "the helper process did not finish in time";
        }
        DWORD code = 1;
        GetExitCodeProcess(child.get(), &code);
        EXPECT_EQ(code, 0u);
    }

    std::vector<std::wstring> cleanup_;
};

TEST_F(LogFileTest, LinesLandInTheNamedFileAsUtf8WithCrLf) {
    const std::wstring name = NewName(L"utf8");
    const std::string tag = " [" + WideToUtf8(name) + "] ";
    SetLogName(name);
    SetLastError(ERROR_MORE_DATA);
    LogLine(LogLevel::Info, L"caf\u00E9 \u4E2D\u6587 \U0001F600");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA)) << "logging changed it";
    LogWin32Error(LogLevel::Error, L"CreateNamedPipe failed", 5);
    LogLine(static_cast<LogLevel>(7), L"odd level");

    const auto text = ReadWholeFile(LogPath(name));
    ASSERT_TRUE(text.has_value());
    const auto lines = SplitLines(*text);
    ASSERT_EQ(lines.size(), 3u) << *text;
    EXPECT_EQ(text->substr(text->size() - 2), "\r\n");
    EXPECT_EQ(AfterTimestamp(lines[0]),
              tag + "INFO caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
    EXPECT_EQ(AfterTimestamp(lines[1]), tag + "ERR  CreateNamedPipe failed (win32=5)");
    EXPECT_EQ(AfterTimestamp(lines[2]), tag + "     odd level");
}

// A file about to pass its limit becomes "<name>.log.1" (replacing an older one) and logging goes
// on in a new file; no line is split or lost across the rotation.
TEST_F(LogFileTest, FullFileIsRotatedToOnePreviousFile) {
    const std::wstring name = NewName(L"rotate");
    cleanup_.push_back(LogPath(name) + L".1");
    log_testing::SetRotateBytes(4096);
    SetLogName(name);
    const std::wstring filler(100, L'x');
    for (int i = 0; i < 100; ++i) {
        LogLine(LogLevel::Info, L"line " + std::to_wstring(i) + L" " + filler);
    }
    log_testing::SetRotateBytes(0);
    const auto current = ReadWholeFile(LogPath(name));
    const auto previous = ReadWholeFile(LogPath(name) + L".1");
    ASSERT_TRUE(current.has_value());
    ASSERT_TRUE(previous.has_value());
    EXPECT_LE(current->size(), 4096u);
    EXPECT_LE(previous->size(), 4096u);
    EXPECT_GT(previous->size(), 3800u);
    // The two files hold the most recent lines, whole and in order, ending with the last one.
    const auto older = SplitLines(*previous);
    const auto newer = SplitLines(*current);
    ASSERT_FALSE(newer.empty());
    EXPECT_NE(AfterTimestamp(newer.back()).find("INFO line 99 x"), std::string::npos);
    const std::string first_new = AfterTimestamp(newer.front());
    const std::string last_old = AfterTimestamp(older.back());
    const int first_index = std::stoi(first_new.substr(first_new.find("line ") + 5));
    const int last_index = std::stoi(last_old.substr(last_old.find("line ") + 5));
    EXPECT_EQ(last_index + 1, first_index);
    EXPECT_EQ(newer.size(), static_cast<size_t>(100 - first_index));
}

// Repeatable failures: once, then counted, then one summary once the minute is over; plain lines
// are never held back.
TEST_F(LogFileTest, RepeatedFailuresAreSummarisedOnceAMinute) {
    const std::wstring name = NewName(L"repeat");
    uint64_t now_ms = 1000;
    log_testing::SetRepeatClock([&now_ms] { return now_ms; });
    SetLogName(name);
    for (int second = 0; second < 125; ++second) {
        LogWin32ErrorRepeatable(LogLevel::Error, L"CreateNamedPipe failed", 231);
        now_ms += 1000;
    }
    LogLine(LogLevel::Info, L"plain");
    LogLine(LogLevel::Info, L"plain");
    log_testing::SetRepeatClock(nullptr);
    const auto text = ReadWholeFile(LogPath(name));
    ASSERT_TRUE(text.has_value());
    const auto lines = SplitLines(*text);
    const std::string tag = " [" + WideToUtf8(name) + "] ";
    ASSERT_EQ(lines.size(), 5u) << *text;
    EXPECT_EQ(AfterTimestamp(lines[0]), tag + "ERR  CreateNamedPipe failed (win32=231)");
    EXPECT_EQ(
        AfterTimestamp(lines[1]),
        tag + "ERR  CreateNamedPipe failed (win32=231) (repeated 59 times in the last minute)");
    EXPECT_EQ(
        AfterTimestamp(lines[2]),
        tag + "ERR  CreateNamedPipe failed (win32=231) (repeated 60 times in the last minute)");
    EXPECT_EQ(AfterTimestamp(lines[3]), tag + "INFO plain");
    EXPECT_EQ(AfterTimestamp(lines[4]), tag + "INFO plain");
}

TEST_F(LogFileTest, LinesCarryTheCurrentUtcTime) {
    std::vector<std::wstring> lines;
    log_testing::SetLogObserver([&lines](std::wstring_view line) { lines.emplace_back(line); });
    const auto now = [] {
        SYSTEMTIME t{};
        GetSystemTime(&t);
        return FormatLogTimestamp(
            LogTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds});
    };
    const std::wstring before = now();
    LogLine(LogLevel::Info, L"tick");
    const std::wstring after = now();
    log_testing::SetLogObserver(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    // The layout is fixed-width, so text order is time order.
    const std::wstring stamp = lines[0].substr(0, before.size());
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(lines[0].substr(stamp.size()), L" [lumet] INFO tick\r\n");
}

TEST_F(LogFileTest, ConcurrentLoggingAndRenamingKeepEveryLineWhole) {
    const std::wstring name = NewName(L"threads");
    // Long enough that a torn read of a name being replaced would show.
    const std::wstring other_a = name + L"-" + std::wstring(200, L'a');
    const std::wstring other_b = name + L"-b";
    SetLogName(name);
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 250;
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &finished] {
            for (int i = 0; i < kLinesEach; ++i) {
                LogLine(LogLevel::Warn, L"thread " + std::to_wstring(t) + L" line " +
                                            std::to_wstring(i) + std::wstring(40, L'x'));
            }
            ++finished;
        });
    }
    // Renames for as long as the threads log.
    for (int i = 0; finished < kThreads; ++i) {
        SetLogName(i % 2 == 0 ? other_a : other_b);
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto text = ReadWholeFile(LogPath(name));
    ASSERT_TRUE(text.has_value());
    EXPECT_FALSE(FileExists(LogPath(other_b)));
    const std::set<std::string> tags = {WideToUtf8(name), WideToUtf8(other_a), WideToUtf8(other_b)};
    const auto lines = SplitLines(*text);
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    for (const std::string& line : lines) {
        const std::string rest = AfterTimestamp(line);
        const size_t close = rest.find("] WARN thread ");
        ASSERT_TRUE(rest.rfind(" [", 0) == 0 && close != std::string::npos) << line;
        ASSERT_EQ(tags.count(rest.substr(2, close - 2)), 1u) << line;
        ASSERT_EQ(rest.substr(rest.size() - 40), std::string(40, 'x')) << line;
    }
}

TEST_F(LogFileTest, EmptyNameKeepsTheCurrentNameButOpensTheFile) {
    const std::wstring name = NewName(L"empty");
    log_testing::ResetLogState(name);  // named, file not yet open
    SetLogName(L"");
    LogLine(LogLevel::Warn, L"still here");
    const auto text = ReadWholeFile(LogPath(name));
    ASSERT_TRUE(text.has_value()) << "the empty name did not open the file";
    const auto lines = SplitLines(*text);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimestamp(lines[0]), " [" + WideToUtf8(name) + "] WARN still here");
}

TEST_F(LogFileTest, RenamingAfterOpeningKeepsWritingToTheFirstFile) {
    const std::wstring first = NewName(L"first");
    const std::wstring second = NewName(L"second");
    SetLogName(first);
    SetLogName(second);
    LogLine(LogLevel::Info, L"after rename");
    EXPECT_FALSE(FileExists(LogPath(second)));
    const auto text = ReadWholeFile(LogPath(first));
    ASSERT_TRUE(text.has_value());
    const auto lines = SplitLines(*text);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimestamp(lines[0]), " [" + WideToUtf8(second) + "] INFO after rename");
}

TEST_F(LogFileTest, AFailedOpenIsRetriedByTheNextSetLogName) {
    // '|' cannot appear in a file name, so this open fails; logging must carry on regardless.
    const std::wstring bad = L"logtest|bad-" + test::UniqueSuffixW();
    SetLogName(bad);
    LogLine(LogLevel::Info, L"not in any file");
    const std::wstring good = NewName(L"retry");
    SetLogName(good);
    LogLine(LogLevel::Info, L"in the file");
    const auto text = ReadWholeFile(LogPath(good));
    ASSERT_TRUE(text.has_value());
    const auto lines = SplitLines(*text);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(AfterTimestamp(lines[0]), " [" + WideToUtf8(good) + "] INFO in the file");
}

TEST_F(LogFileTest, WithoutSetLogNameLinesAreTaggedLumetAndNoFileIsMade) {
    const std::wstring stderr_path = NewTempFile();
    const bool existed = FileExists(LogPath(L"lumet"));
    UniqueProcess child = StartChild(L"unnamed", L"", stderr_path);
    WaitForChild(child);
    const auto err = ReadWholeFile(stderr_path);
    ASSERT_TRUE(err.has_value());
    const auto lines = SplitLines(*err);
    ASSERT_FALSE(lines.empty());
    // Standard error is a text-mode stream: the CR of the line comes back doubled.
    EXPECT_EQ(AfterTimestamp(lines[0]), " [lumet] INFO before any name\r") << *err;
    if (!existed) {
        EXPECT_FALSE(FileExists(LogPath(L"lumet")));
    }
}

TEST_F(LogFileTest, TwoProcessesAppendToOneFileWithoutOverwriting) {
    // The processes take turns, line by line: the test is about every write landing at the
    // current end of the file, whoever wrote last. (Truly simultaneous appends are atomic on
    // Windows, but Wine reads the end of the file and writes there in two steps, so two writes
    // at the same instant can collide under Wine; that is not what this test is about.)
    const std::wstring name = NewName(L"shared");
    const std::wstring stderr_path = NewTempFile();
    const std::wstring turn = L"logtest-turn-" + test::UniqueSuffixW();
    UniqueEvent parent_turn(
        CreateEventW(nullptr, FALSE, FALSE, TurnEventName(turn, L"parent").c_str()));
    UniqueEvent child_turn(
        CreateEventW(nullptr, FALSE, FALSE, TurnEventName(turn, L"child").c_str()));
    ASSERT_TRUE(parent_turn && child_turn);

    // A line before the child opens its handle: a writer that started at offset 0 instead of at
    // the end would overwrite it.
    SetLogName(name);
    LogLine(LogLevel::Info, L"parent line 0");
    UniqueProcess child = StartChild(L"writer", name, stderr_path, turn);
    ASSERT_TRUE(child);
    for (int i = 1; i <= kChildLines; ++i) {
        SetEvent(child_turn.get());
        const HANDLE waits[] = {parent_turn.get(), child.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, kTurnTimeoutMs) != WAIT_OBJECT_0) {
            TerminateProcess(child.get(), 1);
            FAIL() << "the helper process stopped taking turns before line " << i;
        }
        LogLine(LogLevel::Info, L"parent line " + std::to_wstring(i));
    }
    WaitForChild(child);

    const auto text = ReadWholeFile(LogPath(name));
    ASSERT_TRUE(text.has_value());
    const std::string prefix = " [" + WideToUtf8(name) + "] INFO ";
    std::vector<std::string> expected = {"parent line 0", "\xE4\xB8\xAD child start"};
    for (int i = 0; i < kChildLines; ++i) {
        expected.push_back("child line " + std::to_string(i));
        expected.push_back("parent line " + std::to_string(i + 1));
    }
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(*text)) {
        const std::string rest = AfterTimestamp(line);
        ASSERT_EQ(rest.compare(0, prefix.size(), prefix), 0) << "damaged line: " << line;
        messages.push_back(rest.substr(prefix.size()));
    }
    EXPECT_EQ(messages, expected);

    // The child's standard error keeps one line per event, even after a character that the
    // C runtime cannot convert for the stream cut the first line short.
    const auto err = ReadWholeFile(stderr_path);
    ASSERT_TRUE(err.has_value());
    int child_err_lines = 0;
    for (const std::string& line : SplitLines(*err)) {
        if (line == "\r") {
            continue;  // text mode writes "\r\n" as "\r\r\n"
        }
        const std::string rest = AfterTimestamp(line);
        ASSERT_EQ(rest.compare(0, prefix.size(), prefix), 0) << "stderr line: " << line;
        EXPECT_EQ(rest.find("Z ["), std::string::npos) << "two lines glued: " << line;
        if (rest.find("child line ") != std::string::npos) {
            EXPECT_EQ(rest, prefix + "child line " + std::to_string(child_err_lines) + "\r");
            ++child_err_lines;
        }
    }
    EXPECT_EQ(child_err_lines, kChildLines);
}

// Not a test: the body of the child process of the tests above.
TEST(LogChildProcess, DISABLED_Helper) {
    wchar_t role[32] = {};
    wchar_t name[256] = {};
    if (GetEnvironmentVariableW(kRoleVariable, role, 32) == 0) {
        GTEST_SKIP() << "runs only as the helper process of the cross-process log tests";
    }
    GetEnvironmentVariableW(kNameVariable, name, 256);
    if (std::wstring(role) == L"unnamed") {
        LogLine(LogLevel::Info, L"before any name");
        return;
    }
    ASSERT_EQ(std::wstring(role), L"writer");
    wchar_t turn[256] = {};
    GetEnvironmentVariableW(kTurnVariable, turn, 256);
    UniqueEvent parent_turn(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, TurnEventName(turn, L"parent").c_str()));
    UniqueEvent child_turn(OpenEventW(SYNCHRONIZE, FALSE, TurnEventName(turn, L"child").c_str()));
    ASSERT_TRUE(parent_turn && child_turn);
    SetLogName(name);
    LogLine(LogLevel::Info, L"\u4E2D child start");
    for (int i = 0; i < kChildLines; ++i) {
        ASSERT_EQ(WaitForSingleObject(child_turn.get(), kTurnTimeoutMs), WAIT_OBJECT_0);
        LogLine(LogLevel::Info, L"child line " + std::to_wstring(i));
        SetEvent(parent_turn.get());
    }
}

}  // namespace
}  // namespace lumet::common

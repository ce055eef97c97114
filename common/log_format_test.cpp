#include "common/log_format.h"

#include <gtest/gtest.h>

namespace lumet::common {
namespace {

const LogTime kMorning{2026, 3, 1, 8, 15, 2, 117};

TEST(LogFormat, WholeLineLayout) {
    EXPECT_EQ(FormatLogLine(kMorning, L"agent", LogLevel::Info, L"plugin client disconnected"),
              L"2026-03-01T08:15:02.117Z [agent] INFO plugin client disconnected\r\n");
    EXPECT_EQ(FormatLogLine(kMorning, L"service", LogLevel::Error,
                            FormatWin32ErrorMessage(L"CreateNamedPipe failed", 5)),
              L"2026-03-01T08:15:02.117Z [service] ERR  CreateNamedPipe failed (win32=5)\r\n");
    EXPECT_EQ(FormatLogLine(kMorning, L"plugin", LogLevel::Warn, L""),
              L"2026-03-01T08:15:02.117Z [plugin] WARN \r\n");
}

TEST(LogFormat, LevelWordsAreFourWideSoMessagesShareAColumn) {
    const struct {
        unsigned level;
        std::wstring_view word;
    } cases[] = {{0, L"INFO"}, {1, L"WARN"}, {2, L"ERR "},
                 {3, L"    "}, {7, L"    "}, {0xFFFFFFFFu, L"    "}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const auto level = static_cast<LogLevel>(c.level);
        EXPECT_EQ(LogLevelWord(level), c.word);
        const std::wstring line = FormatLogLine(kMorning, L"agent", level, L"m");
        EXPECT_EQ(line.substr(33), std::wstring(c.word) + L" m\r\n");
    }
}

TEST(LogFormat, TimestampFieldsArePaddedNeverCut) {
    const struct {
        LogTime time;
        std::wstring_view text;
    } cases[] = {
        {{2026, 12, 31, 23, 59, 59, 999}, L"2026-12-31T23:59:59.999Z"},
        {{5, 1, 2, 3, 4, 5, 6}, L"0005-01-02T03:04:05.006Z"},
        {{0, 0, 0, 0, 0, 0, 0}, L"0000-00-00T00:00:00.000Z"},
        {{12345, 100, 7, 24, 60, 61, 1000}, L"12345-100-07T24:60:61.1000Z"},
        {{4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u,
          4294967295u},
         L"4294967295-4294967295-4294967295T4294967295:4294967295:4294967295.4294967295Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatLogTimestamp(c.time), c.text);
    }
}

TEST(LogFormat, ControlCharactersCannotForgeOrCutALine) {
    // Regression: text from a peer with CR/LF used to be able to start a fake line of its own.
    const std::wstring message =
        std::wstring(L"got \"x\r\n2026-01-01T00:00:00.000Z [service] INFO forged") + L'\0' +
        L"tail\"";
    const std::wstring line = FormatLogLine(kMorning, L"agent\n", LogLevel::Info, message);
    EXPECT_EQ(line,
              L"2026-03-01T08:15:02.117Z [agent ] INFO got \"x  2026-01-01T00:00:00.000Z "
              L"[service] INFO forged tail\"\r\n");
    EXPECT_EQ(line.find(L'\n'), line.size() - 1);
}

TEST(LogFormat, TabsAndNonAsciiPassUnchanged) {
    const std::wstring line =
        FormatLogLine(kMorning, L"agent", LogLevel::Info, L"a\tcaf\u00E9 \u4E2D \U0001F600");
    EXPECT_EQ(line.substr(38), L"a\tcaf\u00E9 \u4E2D \U0001F600\r\n");
}

TEST(LogFormat, Win32ErrorCodesAreUnsignedDecimal) {
    EXPECT_EQ(FormatWin32ErrorMessage(L"open", 0), L"open (win32=0)");
    EXPECT_EQ(FormatWin32ErrorMessage(L"open", 1332), L"open (win32=1332)");
    EXPECT_EQ(FormatWin32ErrorMessage(L"open", 0x80070005u), L"open (win32=2147942405)");
    EXPECT_EQ(FormatWin32ErrorMessage(L"open", 0xFFFFFFFFu), L"open (win32=4294967295)");
}

TEST(LogFormat, FileLivesThreeLevelsBelowProgramData) {
    const auto dirs = LogDirectories(L"C:\\ProgramData");
    EXPECT_EQ(dirs[0], L"C:\\ProgramData\\Orrinfield");
    EXPECT_EQ(dirs[1], L"C:\\ProgramData\\Orrinfield\\vpn");
    EXPECT_EQ(dirs[2], L"C:\\ProgramData\\Orrinfield\\vpn\\logs");
    EXPECT_EQ(LogFilePath(L"C:\\ProgramData", L"agent"),
              L"C:\\ProgramData\\Orrinfield\\vpn\\logs\\agent.log");
}

}  // namespace
}  // namespace lumet::common

// The plugin object's own safety nets: worker threads whose work throws, answers that cannot be
// sent, and a plugin destroyed by the engine's teardown (in a probe process, where touching a
// channel during destruction ends the process).
#include "plugin/plugin.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/log_for_testing.h"
#include "flutter_lite/testing/teardown_probe_runner.h"
#include "plugin/conversions.h"
#include "test_util.h"
#include "tests/support/log_capture.h"

namespace lumet_windows_vpn {
namespace {

class PluginGuardTest : public testing::Test {
  protected:
    bool Logged(const std::wstring& needle) { return log_.Contains(needle); }

    lumet::test::LogCapture log_;
};

// Whatever a worker's work throws, the caller gets exactly one answer: the fallback. The
// exception's text (for a standard one) reaches the log.
TEST_F(PluginGuardTest, ThrowingWorkIsAnsweredWithTheFallback) {
    struct Case {
        const char* name;
        std::function<ErrorOr<int64_t>()> work;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {"standard", []() -> ErrorOr<int64_t> { throw std::runtime_error("pipe exploded"); },
         L"pipe exploded"},
        {"out of memory", []() -> ErrorOr<int64_t> { throw std::bad_alloc(); }, L"bad_alloc"},
        {"not standard", []() -> ErrorOr<int64_t> { throw 42; }, L"not a standard exception"},
        {"no throw", []() -> ErrorOr<int64_t> { return int64_t{7}; }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int answers = 0;
        std::optional<ErrorOr<int64_t>> got;
        std::function<void(ErrorOr<int64_t> reply)> result = [&](ErrorOr<int64_t> reply) {
            ++answers;
            got.emplace(reply);
        };
        AnswerGuarded<int64_t>(result, c.work,
                               [] { return FlutterError(kInternalCode, std::string()); });
        ASSERT_EQ(answers, 1);
        if (c.logged == nullptr) {
            ASSERT_FALSE(got->has_error());
            EXPECT_EQ(got->value(), 7);
        } else {
            ASSERT_TRUE(got->has_error());
            EXPECT_EQ(got->error().code(), kInternalCode);
            EXPECT_TRUE(Logged(c.logged));
        }
    }
}

// getHealth's fallback is a value, never an error: an unreachable agent with an internal error.
TEST_F(PluginGuardTest, HealthFallbackIsAValue) {
    std::optional<ErrorOr<LumetNativeHealth>> got;
    std::function<void(ErrorOr<LumetNativeHealth> reply)> result =
        [&](ErrorOr<LumetNativeHealth> reply) { got.emplace(reply); };
    AnswerGuarded<LumetNativeHealth>(
        result, []() -> LumetNativeHealth { throw std::runtime_error("probe failed"); },
        [] { return MakeNativeHealth(3, false, false, lumet::common::Status::Failed); });
    ASSERT_TRUE(got.has_value());
    ASSERT_FALSE(got->has_error());
    EXPECT_FALSE(got->value().agent_reachable());
    EXPECT_FALSE(got->value().service_link_up());
    EXPECT_EQ(got->value().last_error(), LumetNativeErrorKind::kInternal);
    EXPECT_EQ(got->value().session_id(), 3);
}

// An answer that throws (the messenger's encoding running out of memory) is swallowed, not
// answered a second time.
TEST_F(PluginGuardTest, ThrowingAnswerIsSwallowed) {
    int answers = 0;
    std::function<void(ErrorOr<bool> reply)> result = [&](ErrorOr<bool>) {
        ++answers;
        throw std::runtime_error("encoding failed");
    };
    AnswerGuarded<bool>(
        result, [] { return true; }, [] { return false; });
    EXPECT_EQ(answers, 1);
    EXPECT_TRUE(Logged(L"encoding failed"));
}

// An exception escaping a detached worker ends that thread only; without the guard it would
// end this whole process (std::terminate).
TEST_F(PluginGuardTest, ExceptionLeavingADetachedWorkerSparesTheProcess) {
    std::atomic<int> ran{0};
    RunDetached([&] {
        ran.store(1);
        throw std::logic_error("worker gave up");
    });
    RunDetached([] { throw 7; });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Logged(L"not a standard exception") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    while (!Logged(L"worker gave up") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ran.load(), 1);
    EXPECT_TRUE(Logged(L"worker gave up"));
    EXPECT_TRUE(Logged(L"not a standard exception"));
}

// The plugin DLL through a whole engine life in a process of its own: the engine detaches the
// messenger and then destroys the plugin. A destructor that touched the plugin's channels would
// end the probe with the embedder's check message instead of a clean exit.
TEST(PluginTeardownTest, EngineDestructionEndsCleanly) {
    const std::string dir = lumet::test::ExecutableDir();
    const std::wstring plugin =
        L"\"" + std::wstring(dir.begin(), dir.end()) + L"\\lumet_windows_vpn_plugin.dll\"";
    const flutter_lite::testing::ProbeOutcome outcome =
        flutter_lite::testing::RunTeardownProbe(plugin + L" LumetWindowsVpnPluginCApi");
    ASSERT_TRUE(outcome.exit_code.has_value()) << outcome.output;
    EXPECT_EQ(*outcome.exit_code, 0u) << outcome.output;
    EXPECT_NE(outcome.output.find("engine destroyed"), std::string::npos) << outcome.output;
    EXPECT_EQ(outcome.output.find("Messenger must reference a running engine"), std::string::npos)
        << outcome.output;
}

}  // namespace
}  // namespace lumet_windows_vpn

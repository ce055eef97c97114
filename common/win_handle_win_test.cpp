#include "common/win_handle.h"

#include <gtest/gtest.h>

#include <cstdint>

#include <vector>

namespace lumet::common {
namespace {

// A resource whose close is recorded and, like a failing CloseHandle, clobbers the last error.
std::vector<int> g_closed;

struct CountingTraits {
    using Type = int;
    static constexpr int kInvalid = -1;
    static bool IsValid(int v) noexcept { return v >= 0; }
    static void Close(int v) noexcept {
        g_closed.push_back(v);
        SetLastError(ERROR_INVALID_HANDLE);
    }
};
using Counted = UniqueResource<CountingTraits>;

class UniqueResourceTest : public testing::Test {
  protected:
    void SetUp() override { g_closed.clear(); }
};

TEST_F(UniqueResourceTest, EveryValueIsClosedExactlyOnceAcrossMoves) {
    {
        Counted a(1);
        Counted b(std::move(a));  // a is empty now
        Counted c(2);
        c = std::move(b);  // closes 2, takes 1
        EXPECT_EQ(g_closed, std::vector<int>{2});
        Counted& alias = c;
        c = std::move(alias);  // self-move keeps the value
        EXPECT_EQ(c.get(), 1);
        EXPECT_FALSE(a.valid());
        EXPECT_FALSE(b.valid());
    }
    EXPECT_EQ(g_closed, (std::vector<int>{2, 1}));
}

TEST_F(UniqueResourceTest, ResetReleaseAndPut) {
    Counted r(3);
    r.reset(3);  // resetting to the value already owned must not close it
    EXPECT_TRUE(g_closed.empty());
    r.reset(4);
    EXPECT_EQ(g_closed, std::vector<int>{3});
    const int raw = r.release();
    EXPECT_EQ(raw, 4);
    EXPECT_FALSE(r);
    r.reset(5);
    int* out = r.put();  // closes 5 and hands out empty storage
    EXPECT_EQ(*out, -1);
    *out = 6;
    EXPECT_EQ(r.get(), 6);
    r.reset();
    EXPECT_EQ(g_closed, (std::vector<int>{3, 5, 6}));
}

TEST_F(UniqueResourceTest, ClosingKeepsTheLastError) {
    Counted r(7);
    SetLastError(ERROR_PIPE_BUSY);
    r.reset(8);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    {
        Counted scoped(9);
        SetLastError(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetLastError(ERROR_BROKEN_PIPE);
    r = Counted(10);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(g_closed, (std::vector<int>{7, 9, 8}));
}

TEST(WinHandle, RealHandleIsClosedOnceAndErrorSurvivesAFailingClose) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        UniqueEvent first(raw);
        UniqueEvent second(std::move(first));
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags));

    // Closing a value that is not a handle fails inside CloseHandle; the caller's error stays.
    UniqueKernelHandle bogus(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0)));
    SetLastError(ERROR_SEM_TIMEOUT);
    bogus.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
}

TEST(ScopeExitGuard, RunsOnceAtScopeEndUnlessDismissed) {
    int runs = 0;
    {
        ScopeExit guard([&runs] { ++runs; });
        EXPECT_EQ(runs, 0);
    }
    EXPECT_EQ(runs, 1);
    {
        ScopeExit guard([&runs] { ++runs; });
        guard.Dismiss();
    }
    EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace lumet::common

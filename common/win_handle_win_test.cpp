#include "common/win_handle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

// This test program itself, started suspended: a real process and thread that never run.
class UniqueProcessInformationTest : public testing::Test {
  protected:
    void StartChild(UniqueProcessInformation& child) {
        wchar_t path[MAX_PATH] = {};
        ASSERT_NE(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
        std::wstring line = L"\"" + std::wstring(path) + L"\" --gtest_list_tests";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        ASSERT_TRUE(CreateProcessW(path, line.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE,
                                   CREATE_SUSPENDED, nullptr, nullptr, &startup, child.put()));
        // A second handle, so that the child can be ended after the owner closed its own.
        HANDLE copy = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.process(), GetCurrentProcess(),
                                    &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
        keepers_.emplace_back(copy);
    }
    void TearDown() override {
        for (UniqueProcess& keeper : keepers_) {
            TerminateProcess(keeper.get(), 0);
            WaitForSingleObject(keeper.get(), 5000);
        }
    }

  private:
    std::vector<UniqueProcess> keepers_;
};

TEST_F(UniqueProcessInformationTest, BothHandlesClosedOnceAcrossMovesAndErrorKept) {
    UniqueProcessInformation child;
    ASSERT_NO_FATAL_FAILURE(StartChild(child));
    const HANDLE process = child.process();
    const HANDLE thread = child.thread();
    ASSERT_TRUE(IsOpenHandle(process));
    ASSERT_TRUE(IsOpenHandle(thread));
    EXPECT_NE(child.get().dwProcessId, 0u);
    {
        UniqueProcessInformation moved(std::move(child));
        EXPECT_FALSE(child.valid());
        EXPECT_EQ(child.thread(), nullptr);
        UniqueProcessInformation target;
        target = std::move(moved);
        EXPECT_EQ(target.process(), process);
        EXPECT_EQ(target.thread(), thread);
        EXPECT_TRUE(IsOpenHandle(process));
        EXPECT_TRUE(IsOpenHandle(thread));
        SetLastError(ERROR_SEM_TIMEOUT);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_FALSE(IsOpenHandle(process));
    EXPECT_FALSE(IsOpenHandle(thread));
}

TEST_F(UniqueProcessInformationTest, CloseThreadReleaseProcessAndPutOverAnOwnedChild) {
    UniqueProcessInformation child;
    ASSERT_NO_FATAL_FAILURE(StartChild(child));
    const HANDLE first_thread = child.thread();
    child.close_thread();
    EXPECT_FALSE(IsOpenHandle(first_thread));
    UniqueProcess process = child.release_process();
    EXPECT_FALSE(child.valid());
    EXPECT_TRUE(IsOpenHandle(process.get()));

    // put() over a second child closes both of its handles before handing out the storage.
    ASSERT_NO_FATAL_FAILURE(StartChild(child));
    const HANDLE second_process = child.process();
    const HANDLE second_thread = child.thread();
    PROCESS_INFORMATION* storage = child.put();
    EXPECT_EQ(storage->hProcess, nullptr);
    EXPECT_EQ(storage->dwProcessId, 0u);
    EXPECT_FALSE(IsOpenHandle(second_process));
    EXPECT_FALSE(IsOpenHandle(second_thread));
}

TEST(WinHandle, WindowIsDestroyedWithItsOwner) {
    UniqueWindow window(CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleW(nullptr), nullptr));
    ASSERT_TRUE(window);
    const HWND raw = window.get();
    UniqueWindow moved(std::move(window));
    EXPECT_TRUE(IsWindow(raw));
    moved.reset();
    EXPECT_FALSE(IsWindow(raw));
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

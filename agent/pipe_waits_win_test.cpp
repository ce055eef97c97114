// The agent server's bounded waits on real pipe instances: every outcome, and that each wait
// ends at its time-out or at a stop.
#include "agent/pipe_waits.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_transport.h"
#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::agent {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PipeWaitsTest : public testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        name_ = L"\\\\.\\pipe\\lumet-agent-waits-" + test::UniqueSuffixW() + L"-" +
                std::to_wstring(++counter);
        server_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 16384,
                                       16384, 0, nullptr));
        ASSERT_TRUE(server_.valid()) << GetLastError();
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(stop_.valid());
    }

    common::UniqueHandle OpenClient() {
        return common::UniqueHandle(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                                nullptr));
    }

    // Connects a client and completes the server side of the connect.
    common::UniqueHandle Connected() {
        common::UniqueHandle client = OpenClient();
        EXPECT_TRUE(client.valid()) << GetLastError();
        EXPECT_EQ(AwaitClient(server_.get(), stop_.get(), 1000), AcceptOutcome::Connected);
        return client;
    }

    std::wstring name_;
    common::UniqueHandle server_;
    common::UniqueEvent stop_;
};

TEST_F(PipeWaitsTest, AcceptEndsAtTimeoutStopOrClient) {
    auto start = Clock::now();
    EXPECT_EQ(AwaitClient(server_.get(), stop_.get(), 150), AcceptOutcome::TimedOut);
    EXPECT_GE(MillisecondsSince(start), 130);
    EXPECT_LT(MillisecondsSince(start), 2000);

    // The instance stays usable after a cancelled connect: a client arriving later is accepted.
    common::UniqueHandle client;
    std::thread connector([&] {
        Sleep(100);
        client = OpenClient();
    });
    EXPECT_EQ(AwaitClient(server_.get(), stop_.get(), 5000), AcceptOutcome::Connected);
    connector.join();
    EXPECT_TRUE(client.valid());
}

TEST_F(PipeWaitsTest, AcceptSeesAClientThatOpenedFirst) {
    common::UniqueHandle client = OpenClient();
    ASSERT_TRUE(client.valid());
    EXPECT_EQ(AwaitClient(server_.get(), stop_.get(), 0), AcceptOutcome::Connected);
}

TEST_F(PipeWaitsTest, AcceptEndsAtOnceOnStopEvenWithInfiniteTimeout) {
    std::thread stopper([&] {
        Sleep(100);
        SetEvent(stop_.get());
    });
    const auto start = Clock::now();
    EXPECT_EQ(AwaitClient(server_.get(), stop_.get(), INFINITE), AcceptOutcome::Stop);
    EXPECT_LT(MillisecondsSince(start), 2000);
    stopper.join();
}

TEST_F(PipeWaitsTest, RequestWaitLeavesTheFrameUnread) {
    common::UniqueHandle client = Connected();
    const std::vector<uint8_t> body = {1, 2, 3};
    std::thread sender([&] {
        Sleep(100);
        common::SendFrame(client.get(), 2, 77, 0, body, 1000);
    });
    EXPECT_EQ(WaitForRequest(server_.get(), stop_.get(), 5000), RequestWait::Ready);
    sender.join();
    const common::ReceivedFrame frame = common::ReceiveFrame(server_.get(), 1000);
    ASSERT_TRUE(frame.ok);
    EXPECT_EQ(frame.header.request_id, 77u);
    EXPECT_EQ(frame.payload, body);

    // Data already waiting completes the wait at once.
    ASSERT_TRUE(common::SendFrame(client.get(), 2, 78, 0, {}, 1000));
    EXPECT_EQ(WaitForRequest(server_.get(), stop_.get(), 0), RequestWait::Ready);
    EXPECT_EQ(common::ReceiveFrame(server_.get(), 1000).header.request_id, 78u);
}

TEST_F(PipeWaitsTest, RequestWaitEndsOnSilenceStopAndClose) {
    common::UniqueHandle client = Connected();
    auto start = Clock::now();
    EXPECT_EQ(WaitForRequest(server_.get(), stop_.get(), 200), RequestWait::Silent);
    EXPECT_GE(MillisecondsSince(start), 180);

    std::thread stopper([&] {
        Sleep(100);
        SetEvent(stop_.get());
    });
    start = Clock::now();
    EXPECT_EQ(WaitForRequest(server_.get(), stop_.get(), 10000), RequestWait::Stop);
    EXPECT_LT(MillisecondsSince(start), 2000);
    stopper.join();
    ResetEvent(stop_.get());

    std::thread closer([&] {
        Sleep(100);
        client.reset();
    });
    start = Clock::now();
    EXPECT_EQ(WaitForRequest(server_.get(), stop_.get(), 10000), RequestWait::Closed);
    EXPECT_LT(MillisecondsSince(start), 2000);
    closer.join();
}

TEST_F(PipeWaitsTest, FlushCompletesOnceTheClientHasRead) {
    common::UniqueHandle client = Connected();
    ASSERT_TRUE(common::SendFrame(server_.get(), 2, 1, 9, {}, 1000));
    std::thread reader([&] { static_cast<void>(common::ReceiveFrame(client.get(), 2000)); });
    EXPECT_TRUE(FlushClientBounded(server_.get(), stop_.get(), 5000));
    reader.join();
}

// Regression: a client that never reads its last reply must not hold the server for ever.
TEST_F(PipeWaitsTest, FlushGivesUpOnAClientThatNeverReads) {
    common::UniqueHandle client = Connected();
    ASSERT_TRUE(common::SendFrame(server_.get(), 2, 1, 9, {}, 1000));
    auto start = Clock::now();
    EXPECT_FALSE(FlushClientBounded(server_.get(), stop_.get(), 300));
    EXPECT_GE(MillisecondsSince(start), 280);
    EXPECT_LT(MillisecondsSince(start), 3000);
}

TEST_F(PipeWaitsTest, FlushReturnsAtOnceWhenTheClientHasGone) {
    common::UniqueHandle client = Connected();
    ASSERT_TRUE(common::SendFrame(server_.get(), 2, 1, 9, {}, 1000));
    client.reset();
    const auto start = Clock::now();
    EXPECT_TRUE(FlushClientBounded(server_.get(), stop_.get(), 60000));
    EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST_F(PipeWaitsTest, FlushEndsAtStop) {
    common::UniqueHandle client = Connected();
    ASSERT_TRUE(common::SendFrame(server_.get(), 2, 1, 9, {}, 1000));
    SetEvent(stop_.get());
    const auto start = Clock::now();
    EXPECT_FALSE(FlushClientBounded(server_.get(), stop_.get(), 60000));
    EXPECT_LT(MillisecondsSince(start), 3000);
}

}  // namespace
}  // namespace lumet::agent

#include "common/frame_transport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "test_util.h"

namespace lumet::common {
namespace {

using Bytes = std::vector<uint8_t>;

class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    void Close() {
        if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr)
            CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }

  private:
    HANDLE h_;
};

// A connected byte-mode pipe pair, both ends overlapped, as the endpoints open them.
class PipePair : public testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        const std::wstring name = L"\\\\.\\pipe\\lumet-frame-transport-" +
                                  lumet::test::UniqueSuffixW() + L"-" + std::to_wstring(++counter);
        server_ = std::make_unique<Handle>(CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, /*nMaxInstances=*/1,
            /*nOutBufferSize=*/kBufferSize, /*nInBufferSize=*/kBufferSize,
            /*nDefaultTimeOut=*/0, nullptr));
        ASSERT_NE(server_->get(), INVALID_HANDLE_VALUE) << GetLastError();
        client_ = std::make_unique<Handle>(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                       0, nullptr, OPEN_EXISTING,
                                                       FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_NE(client_->get(), INVALID_HANDLE_VALUE) << GetLastError();
    }

    // Bytes waiting to be read at the server end.
    DWORD Pending() {
        DWORD available = 0;
        EXPECT_TRUE(PeekNamedPipe(server(), nullptr, 0, nullptr, &available, nullptr));
        return available;
    }

    bool WriteRaw(const Bytes& bytes) {
        return TransferAll(client(), const_cast<uint8_t*>(bytes.data()),
                           static_cast<uint32_t>(bytes.size()), 2000, TransferDirection::Write);
    }

    HANDLE server() { return server_->get(); }
    HANDLE client() { return client_->get(); }

    static constexpr DWORD kBufferSize = 65536;
    std::unique_ptr<Handle> server_;
    std::unique_ptr<Handle> client_;
};

Bytes Frame(uint16_t type, uint32_t id, const Bytes& payload) {
    return *EncodeFrame(type, id, 0, payload);
}

TEST_F(PipePair, FramesStayApartInTheStream) {
    const Bytes first = {1, 2, 3};
    ASSERT_TRUE(SendFrame(client(), 5, 1, 0, first, 2000));
    ASSERT_TRUE(SendFrame(client(), 1, 2, 0, {}, 2000));
    const Bytes third(kMaxPayload, 0x3C);
    std::thread sender([&] { EXPECT_TRUE(SendFrame(client(), 9, 3, 0, third, 2000)); });

    const ReceivedFrame a = ReceiveFrame(server(), 2000);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.header.type, 5);
    EXPECT_EQ(a.header.request_id, 1u);
    EXPECT_EQ(a.header.protocol, kProtocolVersion);
    EXPECT_EQ(a.payload, first);

    // The empty frame reads no payload and leaves the next frame whole.
    const ReceivedFrame b = ReceiveFrame(server(), 2000);
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.header.request_id, 2u);
    EXPECT_TRUE(b.payload.empty());

    const ReceivedFrame c = ReceiveFrame(server(), 2000);
    sender.join();
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.header.request_id, 3u);
    EXPECT_EQ(c.payload, third);
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(PipePair, ReceiveReadsNoFurtherThanItsFrame) {
    Bytes both = Frame(2, 7, {0, 0});
    const Bytes next = Frame(3, 8, {9, 9, 9, 9});
    both.insert(both.end(), next.begin(), next.end());
    ASSERT_TRUE(WriteRaw(both));

    ASSERT_TRUE(ReceiveFrame(server(), 2000).ok);
    EXPECT_EQ(Pending(), next.size());
}

TEST_F(PipePair, WholeFrameAcrossPartialWrites) {
    Bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i);
    const Bytes frame = Frame(12, 0xABCDEF01, payload);
    // Splits inside the length field, across the header end and inside the payload.
    std::thread writer([&] {
        size_t at = 0;
        for (size_t cut : {size_t{3}, size_t{19}, size_t{21}, size_t{200}, frame.size()}) {
            const Bytes piece(frame.begin() + at, frame.begin() + cut);
            EXPECT_TRUE(WriteRaw(piece));
            at = cut;
            Sleep(30);
        }
    });
    const ReceivedFrame received = ReceiveFrame(server(), 2000);
    writer.join();
    ASSERT_TRUE(received.ok);
    EXPECT_EQ(received.header.type, 12);
    EXPECT_EQ(received.header.request_id, 0xABCDEF01u);
    EXPECT_EQ(received.payload, payload);
}

TEST_F(PipePair, PeerClosingMidFrameFailsPromptly) {
    for (size_t sent : {size_t{0}, size_t{7}, size_t{25}}) {
        SetUp();
        const Bytes frame = Frame(5, 1, Bytes(100, 0x41));
        if (sent > 0) {
            ASSERT_TRUE(WriteRaw(Bytes(frame.begin(), frame.begin() + sent)));
        }
        std::thread closer([&] {
            Sleep(50);
            client_->Close();
        });
        const ULONGLONG start = GetTickCount64();
        const ReceivedFrame received = ReceiveFrame(server(), 5000);
        closer.join();
        EXPECT_FALSE(received.ok) << sent;
        EXPECT_LT(GetTickCount64() - start, 2000u) << sent;
    }
}

// A silent peer: the read is cancelled at the time-out, and the cancelled read must not steal
// bytes that arrive later.
TEST_F(PipePair, SilentPeerTimesOutAndCancelsCleanly) {
    const ULONGLONG start = GetTickCount64();
    const ReceivedFrame received = ReceiveFrame(server(), 300);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_FALSE(received.ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(elapsed, 280u);
    EXPECT_LT(elapsed, 2000u);

    ASSERT_TRUE(SendFrame(client(), 4, 99, 0, Bytes{1}, 2000));
    const ReceivedFrame later = ReceiveFrame(server(), 2000);
    ASSERT_TRUE(later.ok);
    EXPECT_EQ(later.header.request_id, 99u);
}

// TransferAll's time-out bounds each operation: a peer that trickles one byte at a time, each
// within the time-out, still gets its bytes through.
TEST_F(PipePair, TransferAllTimeOutBoundsEachOperation) {
    const Bytes frame = Frame(7, 3, Bytes(6, 0x11));
    std::thread writer([&] {
        for (uint8_t byte : frame) {
            EXPECT_TRUE(WriteRaw(Bytes{byte}));
            Sleep(20);
        }
    });
    Bytes received(frame.size(), 0);
    const bool ok = TransferAll(server(), received.data(), static_cast<uint32_t>(received.size()),
                                300, TransferDirection::Read);
    writer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(received, frame);
}

// A frame, however it is split, must arrive whole within one time-out: a trickling peer (header
// first, then a byte now and then) is cut off at the deadline instead of holding the reader.
TEST_F(PipePair, WholeFrameMustArriveWithinOneDeadline) {
    const Bytes frame = Frame(7, 3, Bytes(40, 0x11));
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread writer([&] {
        for (uint8_t byte : frame) {
            if (!WriteRaw(Bytes{byte}) || WaitForSingleObject(stop, 40) == WAIT_OBJECT_0) {
                return;
            }
        }
    });
    const ULONGLONG start = GetTickCount64();
    const ReceivedFrame received = ReceiveFrame(server(), 400);
    const DWORD error = GetLastError();
    const ULONGLONG elapsed = GetTickCount64() - start;
    SetEvent(stop);
    writer.join();
    CloseHandle(stop);
    EXPECT_FALSE(received.ok);
    EXPECT_EQ(error, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(elapsed, 380u);
    EXPECT_LT(elapsed, 1500u);
}

// Every wait of a frame transfer also ends at the wake event, in the header, in the payload and
// in a write that nobody reads.
TEST_F(PipePair, WakeEventEndsEveryWait) {
    struct Case {
        const char* name;
        Bytes before;  // written to the server before the receive starts
    };
    const Bytes frame = Frame(7, 3, Bytes(40, 0x11));
    const Case cases[] = {
        {"silent", {}},
        {"mid-header", Bytes(frame.begin(), frame.begin() + 5)},
        {"mid-payload", Bytes(frame.begin(), frame.begin() + 25)},
    };
    for (const Case& c : cases) {
        SetUp();
        if (!c.before.empty()) {
            ASSERT_TRUE(WriteRaw(c.before)) << c.name;
        }
        HANDLE wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread waker([wake] {
            Sleep(150);
            SetEvent(wake);
        });
        const ULONGLONG start = GetTickCount64();
        const ReceivedFrame received = ReceiveFrame(server(), 10000, FrameWaits{wake, 0, {}});
        const DWORD error = GetLastError();
        const ULONGLONG elapsed = GetTickCount64() - start;
        waker.join();
        CloseHandle(wake);
        EXPECT_FALSE(received.ok) << c.name;
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED)) << c.name;
        EXPECT_LT(elapsed, 2000u) << c.name;
    }

    // A write into a full pipe.
    SetUp();
    Bytes chunk(kBufferSize, 0x77);
    HANDLE wake = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    bool aborted = false;
    for (int i = 0; i < 64 && !aborted; ++i) {
        if (!SendFrame(client(), 7, 1, 0, Bytes(kBufferSize / 2, 1), 10000,
                       FrameWaits{wake, 0, {}})) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
            aborted = true;
        }
    }
    CloseHandle(wake);
    EXPECT_TRUE(aborted);
}

// The tick callback runs while a peer is silent; false from it ends the wait, and a frame that
// arrives between ticks is still read whole.
TEST_F(PipePair, TickRunsWhileWaitingAndCanEndTheWait) {
    int ticks = 0;
    FrameWaits waits{nullptr, 50, [&ticks] { return ++ticks < 4; }};
    const ULONGLONG start = GetTickCount64();
    const ReceivedFrame silent = ReceiveFrame(server(), 10000, waits);
    EXPECT_FALSE(silent.ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(ticks, 4);
    EXPECT_LT(GetTickCount64() - start, 2000u);

    ticks = 0;
    FrameWaits counting{nullptr, 50, [&ticks] { return ++ticks < 1000; }};
    std::thread writer([&] {
        Sleep(300);
        EXPECT_TRUE(SendFrame(client(), 4, 9, 0, Bytes{1, 2}, 2000));
    });
    const ReceivedFrame later = ReceiveFrame(server(), 5000, counting);
    writer.join();
    ASSERT_TRUE(later.ok);
    EXPECT_EQ(later.header.request_id, 9u);
    EXPECT_GE(ticks, 3);
}

TEST_F(PipePair, BadHeaderFailsWithoutReadingOn) {
    Bytes bad = Frame(1, 1, Bytes(4, 0));
    bad[0] = 15;  // length below the minimum
    ASSERT_TRUE(WriteRaw(bad));
    const ReceivedFrame received = ReceiveFrame(server(), 2000);
    EXPECT_FALSE(received.ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Pending(), 4u);
}

TEST_F(PipePair, RefusedPayloadNeverReachesThePipe) {
    const Bytes too_big(kMaxPayload + 1, 0);
    EXPECT_FALSE(SendFrame(client(), 5, 1, 0, too_big, 2000));
    EXPECT_EQ(Pending(), 0u);
}

TEST_F(PipePair, WriteTimesOutWhenNobodyReads) {
    // Fill the pipe until a write can no longer complete; it must fail after the time-out rather
    // than hang, and leave the handle usable.
    Bytes chunk(kBufferSize, 0x77);
    bool timed_out = false;
    for (int i = 0; i < 64 && !timed_out; ++i) {
        const ULONGLONG start = GetTickCount64();
        if (!TransferAll(client(), chunk.data(), static_cast<uint32_t>(chunk.size()), 300,
                         TransferDirection::Write)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
            EXPECT_GE(GetTickCount64() - start, 280u);
            timed_out = true;
        }
    }
    EXPECT_TRUE(timed_out);
}

TEST(FrameTransportTest, ZeroCountNeverTouchesTheHandle) {
    EXPECT_TRUE(TransferAll(INVALID_HANDLE_VALUE, nullptr, 0, 10, TransferDirection::Read));
    uint8_t byte = 0;
    EXPECT_FALSE(TransferAll(INVALID_HANDLE_VALUE, &byte, 1, 10, TransferDirection::Read));
}

}  // namespace
}  // namespace lumet::common

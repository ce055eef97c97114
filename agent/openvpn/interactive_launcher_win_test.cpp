// The launcher against an in-process message-mode pipe server that plays the interactive
// service: the message it receives, every kind of reply, long replies read in parts, the check
// of the pipe's server process, and bounded waits.
#include "agent/openvpn/interactive_launcher_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/win_handle.h"
#include "test_util.h"

namespace lumet::agent::openvpn {
namespace {

using Clock = std::chrono::steady_clock;
using Status = InteractiveLaunchStatus;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::wstring UniquePipeName() {
    static int counter = 0;
    return L"\\\\.\\pipe\\lumet-ova-launch-" + test::UniqueSuffixW() + L"-" +
           std::to_wstring(++counter);
}

// Serves one client on a message-mode pipe: reads its message, then writes `reply` (unless
// told to stay silent) and keeps the connection until destroyed.
class FakeInteractiveService {
  public:
    FakeInteractiveService(std::u16string reply, bool silent = false)
        : name_(UniquePipeName()), reply_(std::move(reply)), silent_(silent) {
        pipe_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     /*nMaxInstances=*/1, 16384, 16384, 0, nullptr));
        done_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeInteractiveService() {
        SetEvent(done_.get());
        if (!connected_.load()) {
            // Unblocks ConnectNamedPipe when no client ever came.
            common::UniqueHandle unblock(CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                     nullptr, OPEN_EXISTING, 0, nullptr));
        }
        thread_.join();
    }

    const std::wstring& name() const { return name_; }
    bool connected() const { return connected_.load(); }
    std::vector<uint8_t> received() {
        thread_done_.wait(false);
        return received_;
    }

  private:
    void Serve() {
        const BOOL ok = ConnectNamedPipe(pipe_.get(), nullptr);
        if (WaitForSingleObject(done_.get(), 0) == WAIT_OBJECT_0 ||
            (!ok && GetLastError() != ERROR_PIPE_CONNECTED)) {
            thread_done_ = true;
            thread_done_.notify_all();
            return;
        }
        connected_ = true;
        std::vector<uint8_t> message(8192);
        DWORD n = 0;
        if (ReadFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), &n,
                     nullptr)) {
            message.resize(n);
            received_ = std::move(message);
        }
        thread_done_ = true;
        thread_done_.notify_all();
        if (!silent_) {
            DWORD written = 0;
            WriteFile(pipe_.get(), reply_.data(),
                      static_cast<DWORD>(reply_.size() * sizeof(char16_t)), &written, nullptr);
        }
        WaitForSingleObject(done_.get(), 10000);
        DisconnectNamedPipe(pipe_.get());
    }

    std::wstring name_;
    std::u16string reply_;
    bool silent_;
    common::UniqueHandle pipe_;
    common::UniqueEvent done_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> thread_done_{false};
    std::vector<uint8_t> received_;
    std::thread thread_;
};

const LaunchRequest kRequest{L"C:\\work dir", L"--config x.ovpn --management 127.0.0.1 1 stdin",
                             L"secret\n"};

TEST(InteractiveLauncherTest, SendsTheStartupMessageAndClassifiesTheReply) {
    const struct {
        const char* name;
        std::u16string reply;
        Status status;
        uint32_t pid;
        std::wstring message;
    } cases[] = {
        {"success", u"0x00000000\n0x00000d05\nProcess ID", Status::Launched, 0xd05, L""},
        {"success with terminator", std::u16string(u"0x00000000\n0x00000d05\nProcess ID\0", 33),
         Status::Launched, 0xd05, L""},
        {"pid of 7 digits", u"0x00000000\n0x0000d05\nProcess ID", Status::Failed, 0, L""},
        {"no rights", u"0x20000001\nUser is not in the Administrators group", Status::NotPermitted,
         0, L"User is not in the Administrators group"},
        {"options refused", u"0x20000001\nOption 'script-security' not allowed", Status::Rejected,
         0, L"Option 'script-security' not allowed"},
        {"unknown message type", u"0x20000003\nHandleMessage failed", Status::Failed, 0,
         L"HandleMessage failed"},
        {"process not started", u"0x00000002\nCreateProcessAsUser failed", Status::ServiceError, 0,
         L"CreateProcessAsUser failed"},
        {"other code", u"0x00000005\nAccess is denied.", Status::ServiceError, 0,
         L"Access is denied."},
        {"garbage", u"hello", Status::Failed, 0, L""},
        // Longer than one read: continued after ERROR_MORE_DATA.
        {"long success", u"0x00000000\n0x00000d05\n" + std::u16string(3000, u' ') + u"Process ID",
         Status::Launched, 0xd05, L""},
        {"long error", u"0x00000001\n" + std::u16string(1500, u'e'), Status::ServiceError, 0,
         std::wstring(500, L'e')},
        // More than the 4096-unit buffer.
        {"too long", u"0x00000000\n0x00000d05\nProcess ID" + std::u16string(4100, u' '),
         Status::Failed, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeInteractiveService service(c.reply);
        const LaunchResult r =
            LaunchOpenVpn(service.name(), GetCurrentProcessId(), kRequest, 2000, 2000);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.process_id, c.pid);
        EXPECT_EQ(r.message, c.message);
        common::SecureBuffer expected;
        ASSERT_TRUE(BuildStartupMessage(kRequest, &expected));
        EXPECT_EQ(service.received(), expected.bytes());
    }
}

TEST(InteractiveLauncherTest, RefusesAPipeServedByAnotherProcess) {
    // The message carries the management password: it must not reach an impostor's pipe.
    for (const uint32_t expected : {uint32_t{0}, uint32_t{GetCurrentProcessId() + 4}}) {
        FakeInteractiveService service(u"0x00000000\n0x00000d05\nProcess ID");
        const LaunchResult r = LaunchOpenVpn(service.name(), expected, kRequest, 1000, 1000);
        EXPECT_EQ(r.status, Status::Unavailable) << expected;
        EXPECT_EQ(r.process_id, 0u);
        EXPECT_TRUE(service.received().empty());
    }
}

TEST(InteractiveLauncherTest, UnavailableAndFailedWithoutAnAnswer) {
    // No such pipe.
    LaunchResult r = LaunchOpenVpn(UniquePipeName(), GetCurrentProcessId(), kRequest, 200, 200);
    EXPECT_EQ(r.status, Status::Unavailable);

    // A message over 1024 units is refused before the pipe is opened.
    {
        FakeInteractiveService service(u"0x00000000\n0x00000d05\nProcess ID");
        LaunchRequest big = kRequest;
        big.options.assign(1100, L'o');
        r = LaunchOpenVpn(service.name(), GetCurrentProcessId(), big, 200, 200);
        EXPECT_EQ(r.status, Status::Failed);
        Sleep(50);
        EXPECT_FALSE(service.connected());
    }

    // A service that reads but never answers: the read is given up after the I/O wait.
    {
        FakeInteractiveService service(u"", /*silent=*/true);
        const auto start = Clock::now();
        r = LaunchOpenVpn(service.name(), GetCurrentProcessId(), kRequest, 1000, 300);
        EXPECT_EQ(r.status, Status::Failed);
        EXPECT_GE(MsSince(start), 280);
        EXPECT_LT(MsSince(start), 3000);
    }

    // The only instance is busy with another client: wait for it, then give up.
    {
        FakeInteractiveService service(u"", /*silent=*/true);
        common::UniqueHandle other(CreateFileW(service.name().c_str(), GENERIC_READ | GENERIC_WRITE,
                                               0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(other.valid()) << GetLastError();
        const auto start = Clock::now();
        r = LaunchOpenVpn(service.name(), GetCurrentProcessId(), kRequest, 300, 300);
        EXPECT_EQ(r.status, Status::Unavailable);
        EXPECT_GE(MsSince(start), 250);
        EXPECT_LT(MsSince(start), 3000);
    }
}

}  // namespace
}  // namespace lumet::agent::openvpn

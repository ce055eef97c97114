// The service's pipe server run in this process on a pipe role of its own, with the console
// session it follows supplied by the test: Wine has one session, which never changes.
#include "service/pipe_server.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "common/frame_transport.h"
#include "common/messages.h"
#include "common/pipe_names.h"
#include "common/session_win.h"
#include "common/win_handle.h"
#include "service/service_state.h"
#include "test_util.h"

namespace lumet::service {
namespace {

common::UniqueHandle OpenClient(const std::wstring& name) {
    for (int i = 0; i < 100; ++i) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            return common::UniqueHandle(h);
        }
        Sleep(50);
    }
    return common::UniqueHandle();
}

bool Pings(HANDLE pipe, uint32_t id) {
    if (!common::SendFrame(pipe, static_cast<uint16_t>(common::MessageType::Ping), id, 0, {},
                           2000)) {
        return false;
    }
    const common::ReceivedFrame reply = common::ReceiveFrame(pipe, 2000);
    return reply.ok && reply.header.request_id == id;
}

bool NameExists(const std::wstring& name) {
    return WaitNamedPipeW(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// When the console session changes, a connected client of the old session is dropped (without
// waiting for its silence to run out) and the pipe moves to the new session's name.
TEST(PipeServerTest, SessionChangeDropsTheOldSessionsClientAndMovesThePipe) {
    const uint32_t session = common::CurrentSessionId();
    const std::optional<std::wstring> user = common::CurrentUserSidText();
    ASSERT_TRUE(user.has_value());
    std::atomic<uint32_t> console_session{session};

    ServiceState state(/*console_mode=*/true);
    ASSERT_TRUE(state.stop_event);
    state.pipe_role = L"PipeServerTest." + test::UniqueSuffixW();
    state.expected_caller_for_testing = [&] {
        return std::make_pair(console_session.load(), user);
    };
    const std::wstring old_name = *common::MakePipeName(state.pipe_role, session);
    const std::wstring new_name = *common::MakePipeName(state.pipe_role, session + 1);

    std::thread server([&state] { RunPipeServer(state); });
    struct StopServer {
        ServiceState& state;
        std::thread& thread;
        ~StopServer() {
            state.RequestStop();
            thread.join();
        }
    } stop{state, server};

    common::UniqueHandle client = OpenClient(old_name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(Pings(client.get(), 1));

    console_session = session + 1;
    const ULONGLONG changed = GetTickCount64();
    // The client stays connected and silent; the server drops it at its next look at the
    // console (every 5 s), long before the 15 s of silence would.
    DWORD available = 0;
    while (PeekNamedPipe(client.get(), nullptr, 0, nullptr, &available, nullptr) &&
           GetTickCount64() - changed < 12000) {
        Sleep(50);
    }
    const ULONGLONG dropped_after = GetTickCount64() - changed;
    EXPECT_LT(dropped_after, 8000u);

    bool moved = false;
    while (GetTickCount64() - changed < 12000 && !moved) {
        moved = NameExists(new_name) && !NameExists(old_name);
        Sleep(50);
    }
    EXPECT_TRUE(moved);
    // A client of the old session is no longer served under the new name either.
    common::UniqueHandle stranger = OpenClient(new_name);
    ASSERT_TRUE(stranger);
    EXPECT_FALSE(Pings(stranger.get(), 2));
}

// A stop ends the server at once even while a client trickles a frame.
TEST(PipeServerTest, StopDoesNotWaitForATricklingClient) {
    ServiceState state(/*console_mode=*/true);
    state.pipe_role = L"PipeServerTest." + test::UniqueSuffixW();
    const std::wstring name = *common::MakePipeName(state.pipe_role, common::CurrentSessionId());
    std::thread server([&state] { RunPipeServer(state); });
    common::UniqueHandle client = OpenClient(name);
    ASSERT_TRUE(client);
    uint8_t byte = 20;  // the first byte of a frame length
    ASSERT_TRUE(
        common::TransferAll(client.get(), &byte, 1, 2000, common::TransferDirection::Write));
    Sleep(300);
    const ULONGLONG start = GetTickCount64();
    state.RequestStop();
    server.join();
    EXPECT_LT(GetTickCount64() - start, 3000u);
}

}  // namespace
}  // namespace lumet::service

// The control handlers, called directly: the service manager under test cannot deliver power or
// session notifications, and never shows what a handler returned.
#include "service/service_main.h"

#include <windows.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/log.h"
#include "common/log_for_testing.h"
#include "common/win_handle.h"
#include "service/service_state.h"

namespace lumet::service {
namespace {

std::string ReadWholeFile(const std::wstring& path) {
    common::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return text;
}

class ControlHandlerTest : public testing::Test {
  protected:
    void SetUp() override {
        // A log of its own, so that the lines this test looks for come from this process.
        log_name_ = L"service-handler-test-" + std::to_wstring(GetCurrentProcessId());
        common::log_testing::ResetLogState();
        common::SetLogName(log_name_);
        state_ = std::make_unique<ServiceState>(/*console_mode=*/true);
        PublishCurrentState(state_.get());
    }

    void TearDown() override {
        PublishCurrentState(nullptr);
        common::log_testing::ResetLogState();
        DeleteFileW(LogPath().c_str());
    }

    std::wstring LogPath() const {
        wchar_t data[MAX_PATH] = {};
        GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
        return std::wstring(data) + L"\\Orrinfield\\vpn\\logs\\" + log_name_ + L".log";
    }

    bool StopSignalled() const {
        return state_->stop_requested.load() &&
               WaitForSingleObject(state_->stop_event.get(), 0) == WAIT_OBJECT_0;
    }

    std::wstring log_name_;
    std::unique_ptr<ServiceState> state_;
};

TEST_F(ControlHandlerTest, StopAndShutdownAskTheServerToStop) {
    for (const DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
        PublishCurrentState(nullptr);
        state_ = std::make_unique<ServiceState>(true);
        PublishCurrentState(state_.get());
        ASSERT_FALSE(StopSignalled());
        EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr),
                  static_cast<DWORD>(NO_ERROR));
        EXPECT_TRUE(StopSignalled()) << control;
    }
}

TEST_F(ControlHandlerTest, OtherControlsNeverStopAndUnknownOnesAreNotImplemented) {
    const struct {
        DWORD control;
        DWORD result;
    } cases[] = {
        {SERVICE_CONTROL_INTERROGATE, NO_ERROR},
        {SERVICE_CONTROL_POWEREVENT, NO_ERROR},
        {SERVICE_CONTROL_SESSIONCHANGE, NO_ERROR},  // without event data
        {SERVICE_CONTROL_PAUSE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_CONTINUE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_PARAMCHANGE, ERROR_CALL_NOT_IMPLEMENTED},
        {SERVICE_CONTROL_PRESHUTDOWN, ERROR_CALL_NOT_IMPLEMENTED},
        {128, ERROR_CALL_NOT_IMPLEMENTED},
        {255, ERROR_CALL_NOT_IMPLEMENTED},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ServiceControlHandler(c.control, 0, nullptr, nullptr), c.result) << c.control;
    }
    EXPECT_FALSE(StopSignalled());
}

TEST_F(ControlHandlerTest, PowerAndSessionNotificationsAreOnlyLogged) {
    WTSSESSION_NOTIFICATION notification = {};
    notification.cbSize = sizeof(notification);
    notification.dwSessionId = 3;
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, 10, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, 5, &notification, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(StopSignalled());

    // Without a current state there is nothing to log about.
    PublishCurrentState(nullptr);
    ServiceControlHandler(SERVICE_CONTROL_POWEREVENT, 11, nullptr, nullptr);
    ServiceControlHandler(SERVICE_CONTROL_SESSIONCHANGE, 6, &notification, nullptr);

    const std::string log = ReadWholeFile(LogPath());
    EXPECT_NE(log.find("INFO power event=10 (structured hook, no-op in W3B)\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INFO session change event=5 session=3 (structured hook, no-op in W3B)\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("event=11"), std::string::npos);
    EXPECT_EQ(log.find("event=6"), std::string::npos);
}

TEST_F(ControlHandlerTest, WithoutAStateAStopIsStillAcknowledged) {
    PublishCurrentState(nullptr);
    EXPECT_EQ(ServiceControlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(StopSignalled());
}

TEST_F(ControlHandlerTest, EveryConsoleControlAsksTheServerToStop) {
    for (const DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT,
                             CTRL_SHUTDOWN_EVENT}) {
        PublishCurrentState(nullptr);
        state_ = std::make_unique<ServiceState>(true);
        PublishCurrentState(state_.get());
        EXPECT_TRUE(ConsoleControlHandler(type));
        EXPECT_TRUE(StopSignalled()) << type;
    }
    PublishCurrentState(nullptr);
    EXPECT_TRUE(ConsoleControlHandler(CTRL_C_EVENT));
}

}  // namespace
}  // namespace lumet::service

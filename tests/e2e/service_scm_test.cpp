// OrrinfieldVPNService.exe registered with the service control manager and run as a real
// service: start, serve a client, stop, delete.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/messages.h"
#include "common/payload.h"
#include "common/win_handle.h"
#include "support/service_harness.h"
#include "test_util.h"

namespace lumet::test {
namespace {

constexpr wchar_t kServiceName[] = L"OrrinfieldVPNService";

// Polls the service's status until it reaches `state`, for up to `timeout_ms`.
bool WaitForServiceState(SC_HANDLE service, DWORD state, DWORD timeout_ms,
                         SERVICE_STATUS_PROCESS* status) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                 sizeof(*status), &needed) &&
            status->dwCurrentState == state) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(50);
    }
}

class ScmServiceTest : public testing::Test {
  protected:
    void SetUp() override {
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << GetLastError();
        RemoveService();  // a leftover of an aborted run would make CreateServiceW fail
    }

    void TearDown() override { RemoveService(); }

    void RemoveService() {
        service_.reset();
        common::UniqueServiceHandle service(
            OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
        if (!service) {
            return;
        }
        SERVICE_STATUS status = {};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        SERVICE_STATUS_PROCESS process_status = {};
        WaitForServiceState(service.get(), SERVICE_STOPPED, 10000, &process_status);
        DeleteService(service.get());
    }

    common::UniqueServiceHandle manager_;
    common::UniqueServiceHandle service_;
};

TEST_F(ScmServiceTest, RunsServesAndStopsUnderTheServiceManager) {
    const std::wstring log_path = ServiceLogPath();
    const uint64_t log_offset = FileSizeOf(log_path);
    const std::wstring binary = L"\"" + ServiceExecutablePath() + L"\"";
    const std::wstring display = L"Orrinfield VPN Service (test " + UniqueSuffixW() + L")";
    service_.reset(CreateServiceW(manager_.get(), kServiceName, display.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr));
    ASSERT_TRUE(service_) << GetLastError();

    ASSERT_TRUE(StartServiceW(service_.get(), 0, nullptr)) << GetLastError();
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(WaitForServiceState(service_.get(), SERVICE_RUNNING, 10000, &status))
        << "state " << status.dwCurrentState;
    EXPECT_EQ(status.dwControlsAccepted, 0xC5u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
    const DWORD service_pid = status.dwProcessId;

    // Service mode expects the active console user in the console session, which under test is
    // this process's user and session.
    {
        PipeClient client;
        ASSERT_TRUE(client.Connect(ServicePipeNameForThisSession(), 10000)) << GetLastError();
        const Reply hello = client.Call(static_cast<uint16_t>(common::MessageType::Hello), 1);
        ASSERT_TRUE(hello.ok);
        EXPECT_NE(hello.header.generation, 0u);
        common::PayloadReader reader(hello.body);
        common::Status reply_status = common::Status::Failed;
        common::HelloInfo info;
        std::string text;
        ASSERT_TRUE(common::ReadStatus(reader, &reply_status));
        EXPECT_EQ(reply_status, common::Status::Ok);
        ASSERT_TRUE(common::Read(reader, &info));
        ASSERT_TRUE(reader.ReadString(&text));
        EXPECT_TRUE(IsGenerationTextOf(text, service_pid)) << text;
    }

    SERVICE_STATUS interrogated = {};
    EXPECT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_INTERROGATE, &interrogated));
    EXPECT_EQ(interrogated.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    SERVICE_STATUS stopping = {};
    ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &stopping)) << GetLastError();
    if (stopping.dwCurrentState == SERVICE_STOP_PENDING) {
        EXPECT_EQ(stopping.dwWaitHint, 30000u);
        EXPECT_EQ(stopping.dwCheckPoint, 2u);  // one above the start-pending report
        EXPECT_EQ(stopping.dwControlsAccepted, 0xC5u);
    } else {
        EXPECT_EQ(stopping.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    }
    ASSERT_TRUE(WaitForServiceState(service_.get(), SERVICE_STOPPED, 10000, &status));
    EXPECT_EQ(status.dwWin32ExitCode, 0u);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);

    const std::string log = ReadFileFrom(log_path, log_offset);
    EXPECT_NE(log.find("INFO service starting generation=" + std::to_string(service_pid) + "-0x"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INFO caller_accepted pid=" + std::to_string(GetCurrentProcessId())),
              std::string::npos);
    EXPECT_NE(log.find("INFO service stopped cleanly"), std::string::npos) << log;
    EXPECT_EQ(log.find("--console dev run"), std::string::npos);

    ASSERT_TRUE(DeleteService(service_.get()));
    service_.reset();
    common::UniqueServiceHandle gone(
        OpenServiceW(manager_.get(), kServiceName, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(gone);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

}  // namespace
}  // namespace lumet::test

// The pipes between plugin, agent and service against other local processes and failures:
// impostor servers on both links (no byte, let alone a secret, reaches them), a WireGuard start
// whose agent dies mid-call (reported as unanswered, not as failed, and not sent twice), and the
// activity record kept fresh while the plugin's event pump polls.
//
// The impostor is this test program run again as a helper process: it serves the pipe name it is
// given, answers hellos as the real server would, and appends every byte it receives to a file.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "common/frame_transport.h"
#include "common/messages.h"
#include "common/payload.h"
#include "common/pipe_names.h"
#include "common/session_win.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "plugin/host_api.h"
#include "sim/wireguard/sim_faults.h"
#include "support/agent_harness.h"
#include "support/openvpn_harness.h"
#include "support/plugin_fixture.h"
#include "support/plugin_harness.h"
#include "support/service_harness.h"
#include "support/wireguard_harness.h"
#include "test_util.h"

namespace lumet::test {
namespace {

using common::MessageType;
using common::Status;
using flutter::EncodableList;
using flutter::EncodableValue;
namespace lv = lumet_windows_vpn;

constexpr wchar_t kImpostorPipeVariable[] = L"LUMET_IMPOSTOR_PIPE";
constexpr wchar_t kImpostorRecordVariable[] = L"LUMET_IMPOSTOR_RECORD";
constexpr wchar_t kImpostorKindVariable[] = L"LUMET_IMPOSTOR_KIND";
constexpr wchar_t kImpostorSingleVariable[] = L"LUMET_IMPOSTOR_SINGLE";
constexpr wchar_t kTrustVariable[] = L"ORRINFIELD_TRUST_CONSOLE_SERVICE";

std::wstring Env(const wchar_t* name) {
    wchar_t value[512] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, 512);
    return n > 0 && n < 512 ? std::wstring(value, n) : std::wstring();
}

std::wstring SelfPath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

void Append(const std::wstring& path, const uint8_t* bytes, size_t size) {
    common::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && size > 0) {
        WriteFile(file.get(), bytes, static_cast<DWORD>(size), &written, nullptr);
    }
}

std::vector<uint8_t> ImpostorHello(bool agent) {
    common::PayloadWriter w;
    common::WriteStatus(w, Status::Ok);
    common::Write(w, agent ? common::AgentHelloInfo() : common::ServiceHelloInfo());
    w.WriteString("1-0x0000BEEF");
    if (agent) {
        w.WriteU32(common::CurrentSessionId());
    }
    return w.Take();
}

// The helper process: a convincing impostor of the agent or the service for up to 60 s.
TEST(PipeImpostor, DISABLED_Serve) {
    const std::wstring name = Env(kImpostorPipeVariable);
    const std::wstring record = Env(kImpostorRecordVariable);
    if (name.empty() || record.empty()) {
        GTEST_SKIP() << "runs only as the impostor helper process";
    }
    const bool agent = Env(kImpostorKindVariable) == L"Agent";
    // One instance only: nobody else may create the name beside us.
    const DWORD max_instances = Env(kImpostorSingleVariable) == L"1" ? 1 : PIPE_UNLIMITED_INSTANCES;
    const ULONGLONG end = GetTickCount64() + 60000;
    while (GetTickCount64() < end) {
        common::UniqueHandle pipe(CreateNamedPipeW(name.c_str(),
                                                   PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                                   max_instances, 16384, 16384, 0, nullptr));
        ASSERT_TRUE(pipe) << GetLastError();
        OVERLAPPED overlapped = {};
        common::UniqueEvent connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = connected.get();
        if (!ConnectNamedPipe(pipe.get(), &overlapped) && GetLastError() == ERROR_IO_PENDING) {
            DWORD ignored = 0;
            GetOverlappedResult(pipe.get(), &overlapped, &ignored, TRUE);
        }
        for (;;) {
            const common::ReceivedFrame frame = common::ReceiveFrame(pipe.get(), 20000);
            if (!frame.ok) {
                break;
            }
            const std::vector<uint8_t> bytes =
                *common::EncodeFrame(frame.header.type, frame.header.request_id, 0, frame.payload);
            Append(record, bytes.data(), bytes.size());
            const std::vector<uint8_t> reply =
                frame.header.type == static_cast<uint16_t>(MessageType::Hello)
                    ? ImpostorHello(agent)
                    : common::StatusOnly(Status::Ok);
            if (!common::SendFrame(pipe.get(), frame.header.type, frame.header.request_id,
                                   0x0000BEEF, reply, 5000)) {
                break;
            }
        }
        DisconnectNamedPipe(pipe.get());
    }
}

// Runs the helper on `pipe_name`; the caller terminates it (the ChildProcess does on any path).
bool StartImpostor(ChildProcess& impostor, const std::wstring& pipe_name, const wchar_t* kind,
                   const std::wstring& record) {
    DeleteFileW(record.c_str());
    SetEnvironmentVariableW(kImpostorPipeVariable, pipe_name.c_str());
    SetEnvironmentVariableW(kImpostorRecordVariable, record.c_str());
    SetEnvironmentVariableW(kImpostorKindVariable, kind);
    const bool started = impostor.Start(
        SelfPath(), L"--gtest_filter=PipeImpostor.DISABLED_Serve --gtest_also_run_disabled_tests",
        ChildOptions{});
    SetEnvironmentVariableW(kImpostorPipeVariable, nullptr);
    SetEnvironmentVariableW(kImpostorRecordVariable, nullptr);
    SetEnvironmentVariableW(kImpostorKindVariable, nullptr);
    if (!started) {
        return false;
    }
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (GetTickCount64() < deadline) {
        if (WaitNamedPipeW(pipe_name.c_str(), 50) || GetLastError() == ERROR_SEM_TIMEOUT) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

uint64_t RecordedBytes(const std::wstring& record) {
    return FileSizeOf(record);
}

std::wstring RecordPath(const wchar_t* tag) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"lumet-impostor-" + tag + L"-" + UniqueSuffixW() + L".bin";
}

class PipeRoadTest : public PluginServiceTest {
  protected:
    void TearDown() override {
        PluginServiceTest::TearDown();
        impostor_.Terminate();
        SetEnvironmentVariableW(kTrustVariable, L"1");
        if (!record_.empty()) {
            DeleteFileW(record_.c_str());
        }
    }

    HostAnswer StartWireGuard(const std::string& key) {
        return host_.Call(
            "startWireGuard",
            EncodableValue(EncodableList{EncodableValue(WireGuardConfigText(key, 1))}));
    }

    ChildProcess impostor_;
    std::wstring record_;
};

// A process serving the service's pipe name is neither the service manager's
// OrrinfieldVPNService nor LocalSystem: the agent sends it nothing, reports the service
// unavailable, and says so once in its log however often it is asked.
TEST_F(PipeRoadTest, ImpostorServiceGetsNothingFromTheAgent) {
    record_ = RecordPath(L"service");
    ASSERT_TRUE(StartImpostor(impostor_, ServicePipeNameForThisSession(), L"Service", record_));
    SetEnvironmentVariableW(kTrustVariable, nullptr);
    ChildProcess agent;
    ASSERT_TRUE(StartAgent(agent));
    ASSERT_TRUE(
        WaitForFileText(AgentLogPath(), agent_log_offset_, "agent starting session=", 10000));
    PipeClient client;
    ASSERT_TRUE(client.Connect(AgentPipeNameForThisSession(), 10000));

    const std::string key = MakeWireGuardKey("ImpostorServiceKey");
    const Reply start = client.Call(static_cast<uint16_t>(MessageType::WireGuardStart), 1,
                                    WireGuardStartBody(WireGuardConfigText(key, 1)));
    EXPECT_EQ(ReplyStatus(start), Status::Unavailable);
    // The event pump's polling, sped up: every probe finds the impostor again.
    for (uint32_t id = 2; id < 32; ++id) {
        common::AgentHealthRecord health;
        ASSERT_TRUE(ReadAgentHealth(
            client.Call(static_cast<uint16_t>(MessageType::AgentHealth), id), &health));
        EXPECT_FALSE(health.service_link_up);
    }
    client.Close();
    agent.Terminate();

    EXPECT_EQ(RecordedBytes(record_), 0u) << "the impostor received bytes";
    const std::string log = AgentLog();
    const std::string refused =
        "ERR  refused Service pipe server pid=" + std::to_string(impostor_.pid()) +
        ": neither OrrinfieldVPNService nor LocalSystem";
    EXPECT_EQ(CountOccurrences(log, refused), 1u) << log;
    EXPECT_EQ(log.find(key), std::string::npos);
}

// A process serving the agent's pipe name is not the agent beside the plugin: the plugin sends
// it nothing (not even a hello), starts no agent of its own meanwhile, and names its pid.
TEST_F(PipeRoadTest, ImpostorAgentGetsNothingFromThePlugin) {
    record_ = RecordPath(L"agent");
    ASSERT_TRUE(StartImpostor(impostor_, AgentPipeNameForThisSession(), L"Agent", record_));
    ASSERT_TRUE(host_.Load(PluginDllPath()));

    const std::string key = MakeWireGuardKey("ImpostorAgentKey");
    const HostAnswer start = StartWireGuard(key);
    EXPECT_TRUE(start.answered);
    EXPECT_FALSE(start.ok);
    EXPECT_EQ(start.code, "SERVICE_UNAVAILABLE");
    const HostAnswer health = host_.Call("getAgentHealth");
    EXPECT_EQ(health.code, "AGENT_UNAVAILABLE");
    EXPECT_EQ(host_.Call("isAvailable").value, EncodableValue(false));
    host_.Destroy();

    EXPECT_EQ(RecordedBytes(record_), 0u) << "the impostor received bytes";
    EXPECT_TRUE(AgentProcessIds().empty());
    const std::string log = PluginLog();
    EXPECT_NE(log.find("ERR  refused Agent pipe server pid=" + std::to_string(impostor_.pid()) +
                       ": is not the agent executable beside the plugin"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(key), std::string::npos);
}

// The agent dies while the service brings a tunnel up: the request was delivered, so the plugin
// reports that no reply came (naming the agent), does not send it again, and a status request
// afterwards shows the tunnel that did come up.
TEST_F(PipeRoadTest, WireGuardStartThroughAKilledAgentIsNotReportedAsFailed) {
    SimFaultSwitches faults;
    ASSERT_TRUE(faults.Set(sim::kFaultStartDelayMs, 2500));
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    ASSERT_TRUE(host_.Load(PluginDllPath()));
    ASSERT_TRUE(host_.Call("getAgentHealth").ok);

    const std::string key = MakeWireGuardKey("KilledAgentKey");
    PluginHost::Pending pending =
        host_.Send("startWireGuard",
                   EncodableValue(EncodableList{EncodableValue(WireGuardConfigText(key, 1))}));
    // The agent has relayed the start once the service logged the caller for it.
    ASSERT_TRUE(WaitForFileText(ServiceLogPath(), service_log_offset_, "caller_accepted", 5000));
    Sleep(500);
    ASSERT_EQ(EndAgentProcesses(), 1);
    const HostAnswer answer = pending.Wait(30000);
    ASSERT_TRUE(answer.answered);
    EXPECT_FALSE(answer.ok);
    EXPECT_EQ(answer.code, "AGENT_UNAVAILABLE");
    EXPECT_EQ(answer.message, "no reply from the agent; the request may have taken effect");

    // The tunnel comes up all the same; the start was not sent a second time.
    bool running = false;
    for (int i = 0; i < 40 && !running; ++i) {
        const HostAnswer status = host_.Call("wireGuardStatus");
        const auto* value = CustomAs<lv::LumetWireGuardStatus>(status.value);
        running =
            status.ok && value != nullptr && value->state() == lv::LumetComponentState::kRunning;
        if (!running) {
            Sleep(250);
        }
    }
    EXPECT_TRUE(running);
    const std::string service_log = ReadFileFrom(ServiceLogPath(), service_log_offset_);
    EXPECT_EQ(CountOccurrences(service_log, "wireguard: tunnel orrinfieldwireguard is up"), 1u)
        << service_log;
    EXPECT_EQ(service_log.find(key), std::string::npos);
    EXPECT_EQ(PluginLog().find(key), std::string::npos);
}

// An agent busy with another client for every connect attempt is not an unavailable service: a
// service method says the agent was busy.
TEST_F(PipeRoadTest, BusyAgentIsNotReportedAsAnUnavailableService) {
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    ChildProcess agent;
    ASSERT_TRUE(StartAgent(agent));
    ASSERT_TRUE(
        WaitForFileText(AgentLogPath(), agent_log_offset_, "agent starting session=", 10000));
    PipeClient holder;  // the agent's one instance, taken by another client
    ASSERT_TRUE(holder.Connect(AgentPipeNameForThisSession(), 10000));
    ASSERT_EQ(ReplyStatus(holder.Call(static_cast<uint16_t>(MessageType::Ping), 1)), Status::Ok);

    ASSERT_TRUE(host_.Load(PluginDllPath()));
    PluginHost::Pending pending = host_.Send("getServiceHealth");
    // Keep the holder's connection alive past the agent's 15 s request wait.
    for (uint32_t id = 2; id < 6; ++id) {
        Sleep(4000);
        holder.Call(static_cast<uint16_t>(MessageType::Ping), id);
    }
    const HostAnswer answer = pending.Wait(20000);
    ASSERT_TRUE(answer.answered);
    EXPECT_EQ(answer.code, "AGENT_UNAVAILABLE");
    EXPECT_EQ(answer.message, "agent busy");
    holder.Close();
    agent.Terminate();
}

// A name already taken when the service starts costs one clear line, not one a second; once the
// squatter is gone the service takes its name and serves.
TEST_F(PipeRoadTest, TakenNameIsReportedOnceAndRetriedQuietly) {
    record_ = RecordPath(L"squatter");
    SetEnvironmentVariableW(kImpostorSingleVariable, L"1");
    const bool squatting =
        StartImpostor(impostor_, ServicePipeNameForThisSession(), L"Service", record_);
    SetEnvironmentVariableW(kImpostorSingleVariable, nullptr);
    ASSERT_TRUE(squatting);
    ASSERT_TRUE(service_.Start(ServiceExecutablePath(), L"--console", {}));
    ASSERT_TRUE(WaitForFileText(ServiceLogPath(), service_log_offset_,
                                "service pipe name is held by another process", 10000));
    Sleep(3500);
    const std::string log = ReadFileFrom(ServiceLogPath(), service_log_offset_);
    EXPECT_EQ(CountOccurrences(log, "ERR  service pipe name is held by another process"), 1u)
        << log;
    EXPECT_EQ(CountOccurrences(log, "CreateNamedPipe failed"), 0u) << log;

    impostor_.Terminate();
    ASSERT_TRUE(WaitForFileText(ServiceLogPath(), service_log_offset_,
                                "INFO service pipe name is ours again", 5000));
    PipeClient client;
    ASSERT_TRUE(client.Connect(ServicePipeNameForThisSession(), 5000));
    EXPECT_EQ(ReplyStatus(client.Call(static_cast<uint16_t>(MessageType::Ping), 1)), Status::Ok);
}

// The service's name is never free while it runs: across idle passes (every 5 s) and right after
// a client closes, the pipe exists. (Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE, so whether a
// squatter could take a free name cannot be shown here; that the name is never free can.)
TEST_F(PipeRoadTest, ServiceHoldsItsNameAcrossIdlePassesAndClients) {
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    const std::wstring name = ServicePipeNameForThisSession();
    // The service logs its start before it has cleaned up after an earlier run and created the
    // pipe; the name is watched from the moment it first exists.
    ASSERT_TRUE(WaitForListeningPipe(name, 10000));
    std::atomic<bool> done{false};
    std::atomic<int> missing{0};
    std::atomic<int> looks{0};
    std::thread watcher([&] {
        while (!done.load()) {
            // FALSE with ERROR_FILE_NOT_FOUND only while no instance of the name exists.
            if (!WaitNamedPipeW(name.c_str(), 1) && GetLastError() == ERROR_FILE_NOT_FOUND) {
                ++missing;
            }
            ++looks;
        }
    });
    const ULONGLONG start = GetTickCount64();
    uint32_t id = 0;
    while (GetTickCount64() - start < 12000) {
        PipeClient client;
        if (client.Connect(name, 5000)) {
            client.Call(static_cast<uint16_t>(MessageType::Ping), ++id);
        }
        client.Close();
        Sleep(id % 5 == 0 ? 5500 : 50);  // now and then an idle pass
    }
    done = true;
    watcher.join();
    EXPECT_GT(looks.load(), 100);
    EXPECT_EQ(missing.load(), 0);
}

// With the event pump polling the agent every 2 s, a tunnel that ends outside our control is
// noticed by the activity record within 10 s.
TEST_F(PipeRoadTest, ActivityRecordFollowsTheTruthWhileEventsRun) {
    ASSERT_TRUE(StartConsoleService(service_, service_log_offset_));
    ASSERT_TRUE(host_.Load(PluginDllPath()));
    host_.ListenForEvents();
    ASSERT_TRUE(host_.Call("startEvents").ok);
    const HostAnswer up = StartWireGuard(MakeWireGuardKey("ActivityEventsKey"));
    ASSERT_TRUE(up.ok) << up.code;
    ASSERT_TRUE(WaitForActivityValues({1, 0x003}, 5000));
    Sleep(3000);  // let the pump poll a while

    RemoveTunnelService();  // the tunnel ends behind the service's back
    const ULONGLONG removed = GetTickCount64();
    bool fresh = false;
    while (GetTickCount64() - removed < 25000) {
        const ActivityValues values = ReadActivityValues();
        if (values.state.has_value() && *values.state == 0) {
            fresh = true;
            break;
        }
        Sleep(100);
    }
    const ULONGLONG delay = GetTickCount64() - removed;
    std::printf("activity record returned to 0 after %llu ms with events running\n", delay);
    EXPECT_TRUE(fresh);
    EXPECT_LE(delay, 10000u);
    EXPECT_GE(host_.Events().size(), 1u);
}

}  // namespace
}  // namespace lumet::test

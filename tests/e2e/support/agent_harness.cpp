#include "support/agent_harness.h"

#include <shlobj.h>

#include <cstdio>
#include <utility>

#include "common/frame_transport.h"
#include "common/payload.h"
#include "common/pipe_names.h"
#include "common/session_win.h"

namespace lumet::test {

namespace {

constexpr uint32_t kFakeServiceGeneration = 0x0000FA4E;
constexpr wchar_t kIdleVariable[] = L"ORRINFIELD_AGENT_IDLE_SECONDS";

std::wstring ProgramDataLogPath(const wchar_t* file) {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &folder))) {
        path = std::wstring(folder) + L"\\Orrinfield\\vpn\\logs\\" + file;
    }
    CoTaskMemFree(folder);
    return path;
}

common::UniqueHandle NewServiceInstance(const std::wstring& name) {
    return common::UniqueHandle(
        CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                         16384, 16384, 0, nullptr));
}

}  // namespace

std::wstring AgentExecutablePath() {
    const std::wstring service = ServiceExecutablePath();
    return service.substr(0, service.find_last_of(L'\\')) + L"\\OrrinfieldVPNAgent.exe";
}

std::wstring AgentPipeNameForThisSession() {
    return common::AgentPipeName(common::CurrentSessionId()).value_or(L"");
}

std::wstring AgentLogPath() {
    return ProgramDataLogPath(L"agent.log");
}

bool StartAgent(ChildProcess& agent, const std::wstring& idle_seconds,
                const ChildOptions& options) {
    SetEnvironmentVariableW(kIdleVariable, idle_seconds.empty() ? nullptr : idle_seconds.c_str());
    const bool started = agent.Start(AgentExecutablePath(), L"", options);
    const DWORD error = GetLastError();
    SetEnvironmentVariableW(kIdleVariable, nullptr);
    SetLastError(error);
    return started;
}

bool StartConsoleService(ChildProcess& service, uint64_t log_offset) {
    if (!service.Start(ServiceExecutablePath(), L"--console", {})) {
        return false;
    }
    return WaitForFileText(ServiceLogPath(), log_offset, "service starting generation=", 10000);
}

common::Status ReplyStatus(const Reply& reply) {
    common::PayloadReader reader(reply.body);
    common::Status status = common::Status::Failed;
    if (!reply.ok || !common::ReadStatus(reader, &status)) {
        return common::Status::Failed;
    }
    return status;
}

std::vector<uint8_t> StatusBody(common::Status status) {
    return common::StatusOnly(status);
}

bool ReadAgentHello(const Reply& reply, AgentHello* hello) {
    common::PayloadReader reader(reply.body);
    common::Status status = common::Status::Failed;
    return reply.ok && common::ReadStatus(reader, &status) && status == common::Status::Ok &&
           common::Read(reader, &hello->info) && reader.ReadString(&hello->generation_text) &&
           reader.ReadU32(&hello->session_id) && reader.remaining() == 0;
}

bool ReadAgentHealth(const Reply& reply, common::AgentHealthRecord* record) {
    common::PayloadReader reader(reply.body);
    common::Status status = common::Status::Failed;
    return reply.ok && common::ReadStatus(reader, &status) && status == common::Status::Ok &&
           common::Read(reader, record) && reader.remaining() == 0;
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

FakeService::FakeService(uint16_t hello_protocol, Script script)
    : name_(ServicePipeNameForThisSession()),
      hello_protocol_(hello_protocol),
      script_(std::move(script)),
      stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    common::UniqueHandle first = NewServiceInstance(name_);
    if (first) {
        thread_ = std::thread([this, h = std::move(first)]() mutable { Run(std::move(h)); });
    }
}

FakeService::~FakeService() {
    SetEvent(stop_.get());
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<uint16_t> FakeService::seen_types() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_types_;
}

void FakeService::Run(common::UniqueHandle listening) {
    while (listening && WaitForClient(listening.get())) {
        common::UniqueHandle connection = std::move(listening);
        listening = NewServiceInstance(name_);
        Serve(connection.get());
    }
}

bool FakeService::WaitForClient(HANDLE pipe) {
    common::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED) {
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    HANDLE waits[] = {event.get(), stop_.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 60000);
    DWORD ignored = 0;
    if (woke == WAIT_OBJECT_0) {
        return GetOverlappedResult(pipe, &ov, &ignored, FALSE) != FALSE;
    }
    CancelIoEx(pipe, &ov);
    GetOverlappedResult(pipe, &ov, &ignored, TRUE);
    return false;
}

void FakeService::Serve(HANDLE pipe) {
    while (WaitForSingleObject(stop_.get(), 0) != WAIT_OBJECT_0) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return;
        }
        if (available == 0) {
            Sleep(2);
            continue;
        }
        const common::ReceivedFrame frame = common::ReceiveFrame(pipe, 5000);
        if (!frame.ok) {
            return;
        }
        Answer answer;
        if (frame.header.type == static_cast<uint16_t>(common::MessageType::Hello)) {
            common::PayloadWriter writer;
            common::WriteStatus(writer, common::Status::Ok);
            common::HelloInfo hello = common::ServiceHelloInfo();
            hello.protocol = hello_protocol_;
            common::Write(writer, hello);
            writer.WriteString("1-0x0000FA4E");
            answer.body = writer.Take();
        } else {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_types_.push_back(frame.header.type);
            }
            answer = script_(frame.header.type, frame.payload);
        }
        if (answer.close || !common::SendFrame(pipe, frame.header.type, frame.header.request_id,
                                               kFakeServiceGeneration, answer.body, 5000)) {
            return;
        }
    }
}

}  // namespace lumet::test

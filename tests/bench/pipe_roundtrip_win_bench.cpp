// Round-trip latency of the product's pipe servers against raw named-pipe echoes of the same
// bytes, under the same client code:
//   P1  Ping through OrrinfieldVPNService's pipe server   vs  a one-hop raw echo (child process)
//   P2  ServiceHealth through the agent and the service   vs  a two-hop raw echo (two children)
//   and connecting plus Hello against one round trip on an open connection, for both servers.
// The client always sends with SendFrame and reads with ReceiveFrame; the echoes answer with a
// pre-built frame of the real reply's size, so only the server side differs. Prints medians and
// 90th percentiles in microseconds. Run from the build's bin folder (the programs sit beside it):
//   wine-run bin/pipe_roundtrip_win_bench.exe [round trips per block]
// The same executable is its own echo ("--echo") and relay ("--relay") child.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "common/frame.h"
#include "common/frame_transport.h"
#include "common/messages.h"
#include "common/pipe_names.h"
#include "common/session_win.h"
#include "common/win_handle.h"

namespace {

using lumet::common::MessageType;
using lumet::common::UniqueHandle;

constexpr DWORD kIoTimeoutMs = 15000;
constexpr int kBlocks = 5;
constexpr int kWarmUp = 200;
constexpr int kConnectSamples = 200;

double g_ticks_per_us = 0;

double NowUs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / g_ticks_per_us;
}

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/"));
}

// ---- children -------------------------------------------------------------------------------

UniqueHandle ListenOnce(const std::wstring& name) {
    UniqueHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 16384,
                                       16384, 0, nullptr));
    if (!pipe) {
        return pipe;
    }
    lumet::common::UniqueEvent event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (!ConnectNamedPipe(pipe.get(), &ov)) {
        const DWORD error = GetLastError();
        DWORD ignored = 0;
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event.get(), 30000) != WAIT_OBJECT_0 ||
                !GetOverlappedResult(pipe.get(), &ov, &ignored, FALSE)) {
                CancelIoEx(pipe.get(), &ov);
                GetOverlappedResult(pipe.get(), &ov, &ignored, TRUE);
                pipe.reset();
            }
        } else if (error != ERROR_PIPE_CONNECTED) {
            pipe.reset();
        }
    }
    return pipe;
}

UniqueHandle OpenPipe(const std::wstring& name, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        UniqueHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe || GetTickCount64() >= deadline) {
            return pipe;
        }
        if (GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name.c_str(), 100);
        } else {
            Sleep(1);
        }
    }
}

bool Read(HANDLE pipe, std::vector<uint8_t>& buffer) {
    return lumet::common::TransferAll(pipe, buffer.data(), static_cast<uint32_t>(buffer.size()),
                                      kIoTimeoutMs, lumet::common::TransferDirection::Read);
}

bool Write(HANDLE pipe, std::vector<uint8_t>& buffer) {
    return lumet::common::TransferAll(pipe, buffer.data(), static_cast<uint32_t>(buffer.size()),
                                      kIoTimeoutMs, lumet::common::TransferDirection::Write);
}

// Reads `request_bytes`, answers with a fixed frame of `type` whose payload is `payload_bytes`
// zeros (an Ok status first), until the client goes.
int RunEcho(const std::wstring& name, size_t request_bytes, uint16_t type, size_t payload_bytes) {
    UniqueHandle pipe = ListenOnce(name);
    if (!pipe) {
        return 1;
    }
    std::vector<uint8_t> request(request_bytes);
    std::vector<uint8_t> payload(payload_bytes, 0);
    std::vector<uint8_t> reply = *lumet::common::EncodeFrame(type, 0, 1, payload);
    while (Read(pipe.get(), request) && Write(pipe.get(), reply)) {
    }
    return 0;
}

// Forwards `request_bytes` from its client to `out_name` and `reply_bytes` back, until either
// side goes.
int RunRelay(const std::wstring& in_name, const std::wstring& out_name, size_t request_bytes,
             size_t reply_bytes) {
    UniqueHandle in = ListenOnce(in_name);
    UniqueHandle out = OpenPipe(out_name, 10000);
    if (!in || !out) {
        return 1;
    }
    std::vector<uint8_t> request(request_bytes);
    std::vector<uint8_t> reply(reply_bytes);
    while (Read(in.get(), request) && Write(out.get(), request) && Read(out.get(), reply) &&
           Write(in.get(), reply)) {
    }
    return 0;
}

// ---- driver ---------------------------------------------------------------------------------

class Child {
  public:
    ~Child() {
        if (process_) {
            TerminateProcess(process_.get(), 0);
            WaitForSingleObject(process_.get(), 5000);
        }
    }
    // The programs log every line to standard error too; the table must stay readable.
    bool Start(const std::wstring& exe, const std::wstring& args) {
        std::wstring command = L"\"" + exe + L"\" " + args;
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        UniqueHandle null_device(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inheritable,
                                             OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = null_device.get();
        startup.hStdError = null_device.get();
        lumet::common::UniqueProcessInformation info;
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &startup, info.put())) {
            return false;
        }
        process_ = info.release_process();
        return true;
    }

  private:
    lumet::common::UniqueKernelHandle process_;
};

struct Stats {
    double median = 0;
    double p90 = 0;
};

Stats Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) {
        return {};
    }
    return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

// One request frame and its reply; the reply's size when it came, nothing otherwise.
std::optional<size_t> RoundTrip(HANDLE pipe, uint16_t type, uint32_t id) {
    if (!lumet::common::SendFrame(pipe, type, id, 0, {}, kIoTimeoutMs)) {
        return std::nullopt;
    }
    const lumet::common::ReceivedFrame reply = lumet::common::ReceiveFrame(pipe, kIoTimeoutMs);
    if (!reply.ok) {
        return std::nullopt;
    }
    return lumet::common::kFrameHeaderSize + reply.payload.size();
}

// Round trips on two open connections in interleaved blocks, so that drift hits both alike.
bool Compare(HANDLE raw, HANDLE product, uint16_t type, int per_block, std::vector<double>* raw_us,
             std::vector<double>* product_us) {
    uint32_t id = 1000;
    for (int i = 0; i < kWarmUp; ++i) {
        if (!RoundTrip(raw, type, ++id) || !RoundTrip(product, type, ++id)) {
            return false;
        }
    }
    for (int block = 0; block < kBlocks; ++block) {
        for (HANDLE pipe : {raw, product}) {
            std::vector<double>* out = pipe == raw ? raw_us : product_us;
            for (int i = 0; i < per_block; ++i) {
                const double start = NowUs();
                if (!RoundTrip(pipe, type, ++id)) {
                    return false;
                }
                out->push_back(NowUs() - start);
            }
        }
    }
    return true;
}

// Connect, Hello, close, repeated. With `after_close` each sample starts right after the previous
// connection was closed, so it includes the server's turnaround (noticing the close, flushing,
// disconnecting, listening again); otherwise it starts once the server listens again.
std::vector<double> ConnectAndHello(const std::wstring& name, bool after_close) {
    std::vector<double> samples;
    for (int i = 0; i < kConnectSamples; ++i) {
        if (!after_close) {
            const ULONGLONG deadline = GetTickCount64() + 10000;
            while (!WaitNamedPipeW(name.c_str(), 100) && GetTickCount64() < deadline) {
                Sleep(1);
            }
        }
        const double start = NowUs();
        UniqueHandle pipe = OpenPipe(name, 10000);
        if (!pipe || !RoundTrip(pipe.get(), static_cast<uint16_t>(MessageType::Hello), 1)) {
            break;
        }
        samples.push_back(NowUs() - start);
    }
    return samples;
}

void Row(const char* what, const Stats& stats, const Stats* baseline) {
    if (baseline != nullptr && baseline->median > 0) {
        std::printf("%-46s %10.1f %10.1f %8.2fx\n", what, stats.median, stats.p90,
                    stats.median / baseline->median);
    } else {
        std::printf("%-46s %10.1f %10.1f %9s\n", what, stats.median, stats.p90, "-");
    }
}

bool WaitForPipe(const std::wstring& name, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (GetTickCount64() < deadline) {
        if (WaitNamedPipeW(name.c_str(), 50) || GetLastError() == ERROR_SEM_TIMEOUT) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

int RunBenchmark(int per_block) {
    const std::wstring bin = BinDir();
    const std::wstring self = bin + L"\\pipe_roundtrip_win_bench.exe";
    const uint32_t session = lumet::common::CurrentSessionId();
    const std::wstring service_pipe = *lumet::common::ServicePipeName(session);
    const std::wstring agent_pipe = *lumet::common::AgentPipeName(session);
    const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring echo1 = L"\\\\.\\pipe\\lumet-bench-echo1-" + suffix;
    const std::wstring echo2 = L"\\\\.\\pipe\\lumet-bench-echo2-" + suffix;
    const std::wstring relay = L"\\\\.\\pipe\\lumet-bench-relay-" + suffix;
    const uint16_t ping = static_cast<uint16_t>(MessageType::Ping);
    const uint16_t health = static_cast<uint16_t>(MessageType::ServiceHealth);

    Child service;
    if (!service.Start(bin + L"\\OrrinfieldVPNService.exe", L"--console") ||
        !WaitForPipe(service_pipe, 10000)) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    // The service serves one connection at a time, so P1 runs before the agent connects to it.
    const size_t request = lumet::common::kFrameHeaderSize;
    std::optional<size_t> ping_reply;
    {
        UniqueHandle probe = OpenPipe(service_pipe, 10000);
        ping_reply = RoundTrip(probe.get(), ping, 1);
    }
    if (!ping_reply) {
        std::fprintf(stderr, "no reply from the service\n");
        return 1;
    }

    // P1: one hop.
    Child echo_one;
    echo_one.Start(self, L"--echo " + echo1 + L" " + std::to_wstring(request) + L" " +
                             std::to_wstring(ping) + L" " + std::to_wstring(*ping_reply - request));
    std::vector<double> p1_raw;
    std::vector<double> p1_service;
    {
        UniqueHandle raw = OpenPipe(echo1, 10000);
        UniqueHandle direct = OpenPipe(service_pipe, 20000);
        if (!raw || !direct || !RoundTrip(direct.get(), 1, 1) ||
            !Compare(raw.get(), direct.get(), ping, per_block, &p1_raw, &p1_service)) {
            std::fprintf(stderr, "P1 failed\n");
            return 1;
        }
    }
    const std::vector<double> service_connect = ConnectAndHello(service_pipe, false);
    const std::vector<double> service_reconnect = ConnectAndHello(service_pipe, true);

    // P2: two hops. The agent's own connection to the service is the second hop; the agent
    // accepts a console service only when told so.
    SetEnvironmentVariableW(L"ORRINFIELD_TRUST_CONSOLE_SERVICE", L"1");
    Child agent;
    if (!agent.Start(bin + L"\\OrrinfieldVPNAgent.exe", L"") || !WaitForPipe(agent_pipe, 10000)) {
        std::fprintf(stderr, "agent did not start\n");
        return 1;
    }
    std::optional<size_t> health_reply;
    {
        UniqueHandle probe = OpenPipe(agent_pipe, 10000);
        health_reply = RoundTrip(probe.get(), health, 1);
    }
    if (!health_reply) {
        std::fprintf(stderr, "no ServiceHealth reply through the agent\n");
        return 1;
    }
    Child echo_two;
    echo_two.Start(self, L"--echo " + echo2 + L" " + std::to_wstring(request) + L" " +
                             std::to_wstring(health) + L" " +
                             std::to_wstring(*health_reply - request));
    Child relay_child;
    relay_child.Start(self, L"--relay " + relay + L" " + echo2 + L" " + std::to_wstring(request) +
                                L" " + std::to_wstring(*health_reply));
    std::vector<double> p2_raw;
    std::vector<double> p2_agent;
    std::vector<double> agent_ping;
    {
        UniqueHandle raw = OpenPipe(relay, 10000);
        UniqueHandle via_agent = OpenPipe(agent_pipe, 20000);
        if (!raw || !via_agent || !RoundTrip(via_agent.get(), 1, 1) ||
            !Compare(raw.get(), via_agent.get(), health, per_block, &p2_raw, &p2_agent)) {
            std::fprintf(stderr, "P2 failed\n");
            return 1;
        }
        // Reference for the connect cost: a round trip the agent answers itself.
        for (int i = 0; i < per_block; ++i) {
            const double start = NowUs();
            RoundTrip(via_agent.get(), ping, static_cast<uint32_t>(i + 5000));
            agent_ping.push_back(NowUs() - start);
        }
    }
    const std::vector<double> agent_connect = ConnectAndHello(agent_pipe, false);
    const std::vector<double> agent_reconnect = ConnectAndHello(agent_pipe, true);

    const Stats p1r = Summarise(p1_raw);
    const Stats p1s = Summarise(p1_service);
    const Stats p2r = Summarise(p2_raw);
    const Stats p2a = Summarise(p2_agent);
    const Stats ap = Summarise(agent_ping);
    const Stats sc = Summarise(service_connect);
    const Stats ac = Summarise(agent_connect);
    const Stats sr = Summarise(service_reconnect);
    const Stats ar = Summarise(agent_reconnect);
    std::printf("%d round trips per case (%d interleaved blocks), %d connects; microseconds\n",
                per_block * kBlocks, kBlocks, kConnectSamples);
    std::printf("%-46s %10s %10s %9s\n", "case", "median", "p90", "ratio");
    char label[96];
    std::snprintf(label, sizeof(label), "P1 raw one-hop echo (%zu/%zu bytes)", request,
                  *ping_reply);
    Row(label, p1r, nullptr);
    Row("P1 Ping, service pipe server", p1s, &p1r);
    std::snprintf(label, sizeof(label), "P2 raw two-hop echo (%zu/%zu bytes)", request,
                  *health_reply);
    Row(label, p2r, nullptr);
    Row("P2 ServiceHealth, agent + service", p2a, &p2r);
    Row("Ping, agent pipe (open connection)", ap, nullptr);
    Row("connect + Hello, agent pipe", ac, &ap);
    Row("reconnect right after a close + Hello, agent", ar, &ap);
    Row("Ping, service pipe (open connection)", p1s, nullptr);
    Row("connect + Hello, service pipe", sc, &p1s);
    Row("reconnect right after a close + Hello, service", sr, &p1s);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_ticks_per_us = static_cast<double>(frequency.QuadPart) / 1e6;

    if (argc == 6 && std::wcscmp(argv[1], L"--echo") == 0) {
        return RunEcho(argv[2], std::wcstoul(argv[3], nullptr, 10),
                       static_cast<uint16_t>(std::wcstoul(argv[4], nullptr, 10)),
                       std::wcstoul(argv[5], nullptr, 10));
    }
    if (argc == 6 && std::wcscmp(argv[1], L"--relay") == 0) {
        return RunRelay(argv[2], argv[3], std::wcstoul(argv[4], nullptr, 10),
                        std::wcstoul(argv[5], nullptr, 10));
    }
    const int per_block = argc >= 2 ? std::max(10, _wtoi(argv[1])) : 400;
    return RunBenchmark(per_block);
}

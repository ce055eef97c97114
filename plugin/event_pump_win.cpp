#include "plugin/event_pump.h"

#include <process.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "plugin/event_watch.h"
#include "plugin/plugin.h"

namespace lumet_windows_vpn {

namespace {

constexpr wchar_t kWindowClass[] = L"LumetWindowsVpnEventPump";
constexpr int kSlicesPerCycle = 20;
constexpr auto kSlice = std::chrono::milliseconds(100);

INIT_ONCE g_class_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK RegisterWindowClass(PINIT_ONCE, PVOID window_proc, PVOID*) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = reinterpret_cast<WNDPROC>(window_proc);
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kWindowClass;
    // A failure shows later as a failed CreateWindowExW; the pump then runs without a window.
    RegisterClassW(&window_class);
    return TRUE;
}

}  // namespace

int64_t UnixTimeMsNow() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000ull;
    return static_cast<int64_t>((ticks - kTicksFrom1601To1970) / 10000);
}

EventPump::EventPump(::flutter::BinaryMessenger* messenger, std::shared_ptr<AgentLink> link)
    : flutter_api_(std::make_unique<LumetWindowsVpnFlutterApi>(messenger)), link_(std::move(link)) {
    InitOnceExecuteOnce(&g_class_once, &RegisterWindowClass,
                        reinterpret_cast<PVOID>(&EventPump::WindowProc), nullptr);
    window_.reset(CreateWindowExW(/*dwExStyle=*/0, kWindowClass, /*lpWindowName=*/nullptr,
                                  /*dwStyle=*/0, 0, 0, 0, 0, HWND_MESSAGE, /*hMenu=*/nullptr,
                                  GetModuleHandleW(nullptr), /*lpParam=*/nullptr));
    if (window_) {
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

EventPump::~EventPump() {
    stop_requested_.store(1);
    if (watcher_) {
        WaitForSingleObject(watcher_.get(), INFINITE);
        watcher_.reset();
    }
    if (window_) {
        // Messages still posted to the window die with it; the events they announce are dropped.
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
        window_.reset();
    }
    std::lock_guard<std::mutex> lock(queue_lock_);
    queue_.clear();
}

void EventPump::Start() {
    uint8_t expected = 0;
    if (!started_.compare_exchange_strong(expected, 1)) {
        return;
    }
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, &EventPump::WatcherThread, this, 0, nullptr);
    if (thread == 0) {
        throw std::runtime_error("event watcher thread could not be started");
    }
    watcher_.reset(reinterpret_cast<HANDLE>(thread));
}

unsigned __stdcall EventPump::WatcherThread(void* self) {
    // An exception leaving this thread would end the application; the events stop instead.
    try {
        static_cast<EventPump*>(self)->Watch();
    } catch (...) {
        LogWorkerException(L"event watcher ended by an exception");
    }
    return 0;
}

void EventPump::Watch() {
    EventWatch watch;
    while (stop_requested_.load() == 0) {
        const AgentProbe probe = link_->ProbeAgent();
        for (const std::string& kind :
             watch.Observe(probe.connected, probe.serviceLinkUp, probe.peerGeneration)) {
            Enqueue(kind, std::string());
        }
        for (int slice = 0; slice < kSlicesPerCycle; ++slice) {
            if (stop_requested_.load() != 0) {
                return;
            }
            std::this_thread::sleep_until(std::chrono::steady_clock::now() + kSlice);
        }
    }
}

void EventPump::Enqueue(const std::string& kind, const std::string& detail) {
    {
        std::lock_guard<std::mutex> lock(queue_lock_);
        queue_.push_back(PendingEvent{kind, detail, UnixTimeMsNow()});
    }
    if (window_) {
        PostMessageW(window_.get(), kDrainMessage, 0, 0);
    }
}

void EventPump::Drain() {
    std::deque<PendingEvent> pending;
    {
        std::lock_guard<std::mutex> lock(queue_lock_);
        pending.swap(queue_);
    }
    for (const PendingEvent& event : pending) {
        // Delivery failures (Dart not listening, "channel-error") are not retried.
        flutter_api_->OnNativeEvent(
            LumetNativeEvent(event.kind, event.detail, event.timestamp_ms), [] {},
            [](const FlutterError&) {});
    }
}

LRESULT CALLBACK EventPump::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kDrainMessage) {
        auto* pump = reinterpret_cast<EventPump*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (pump != nullptr) {
            // The window procedure runs inside the embedder's message loop: nothing may unwind
            // out of it.
            try {
                pump->Drain();
            } catch (...) {
                LogWorkerException(L"event delivery failed");
            }
        }
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace lumet_windows_vpn

// Delivers component events to Dart: a watcher thread probes the agent every 2 seconds and
// queues what changed (event_watch.h), and a message-only window on the platform thread drains
// the queue into onNativeEvent calls, which Flutter allows only on that thread.
//
// Threads: Start and Shutdown (the destructor) run on the platform thread, as does the window
// procedure; the watcher thread only probes and enqueues. The queue lock is held only to append
// one event or to swap the queue out; Dart is called outside it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <flutter/binary_messenger.h>

#include "common/win_handle.h"
#include "plugin/agent_launcher.h"
#include "plugin/host_api.h"

namespace lumet_windows_vpn {

class EventPump {
  public:
    // Creates the message-only window (a failure leaves the pump without one: events are then
    // queued but never delivered). Platform thread.
    EventPump(::flutter::BinaryMessenger* messenger, std::shared_ptr<AgentLink> link);
    // Stops the watcher (returns within one 100 ms slice plus a probe in progress), destroys the
    // window and drops the events not yet delivered. Platform thread.
    ~EventPump();

    EventPump(const EventPump&) = delete;
    EventPump& operator=(const EventPump&) = delete;

    // Starts the watcher thread the first time; later calls do nothing. Throws
    // std::runtime_error when the thread cannot be started (later calls do not retry).
    void Start();

    // The window's message that drains the queue.
    static constexpr UINT kDrainMessage = WM_USER + 7;

  private:
    struct PendingEvent {
        std::string kind;
        std::string detail;
        int64_t timestamp_ms = 0;
    };

    static unsigned __stdcall WatcherThread(void* self);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void Watch();
    void Enqueue(const std::string& kind, const std::string& detail);
    void Drain();

    std::unique_ptr<LumetWindowsVpnFlutterApi> flutter_api_;
    std::shared_ptr<AgentLink> link_;
    lumet::common::UniqueWindow window_;
    std::mutex queue_lock_;
    std::deque<PendingEvent> queue_;
    lumet::common::UniqueKernelHandle watcher_;
    std::atomic<uint8_t> stop_requested_{0};
    std::atomic<uint8_t> started_{0};
};

// Milliseconds since 1970-01-01 UTC from the system clock.
int64_t UnixTimeMsNow();

}  // namespace lumet_windows_vpn

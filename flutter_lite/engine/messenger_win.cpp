// The embedder's C messenger API over the engine.
//
// Every call resolves the engine under the messenger's lock, so a call racing with engine
// shutdown either completes against the running engine or finds it detached. Setting a handler,
// sending or answering on a detached messenger ends the process, as the real embedder's release
// build does (it dereferences the missing engine); its debug build checks with the messages used
// here. Code that may run after detachment asks FlutterDesktopMessengerIsAvailable first, under
// FlutterDesktopMessengerLock.
#include "flutter_lite/engine/engine.h"

#include <flutter_lite_engine.h>

#include <cstdio>

namespace flutter_lite {

void FatalMisuse(const char* what) {
    std::fprintf(stderr,
                 "[FATAL:flutter_windows] Check failed: FlutterDesktopMessengerIsAvailable("
                 "messenger). Messenger must reference a running engine to %s\n",
                 what);
    std::fflush(stderr);
    // Immediately, like the crash it stands for: no destructors, no atexit handlers.
    TerminateProcess(GetCurrentProcess(), FLUTTER_LITE_FATAL_EXIT_CODE);
    ExitProcess(FLUTTER_LITE_FATAL_EXIT_CODE);
}

}  // namespace flutter_lite

namespace {

// Runs |action| with the engine; a null messenger gives |fallback|, a detached one is fatal.
template <typename Result, typename Action>
Result WithEngine(FlutterDesktopMessengerRef messenger, const char* what, Result fallback,
                  Action action) {
    if (messenger == nullptr) {
        return fallback;
    }
    std::lock_guard<std::recursive_mutex> lock(messenger->mutex);
    if (messenger->engine == nullptr) {
        flutter_lite::FatalMisuse(what);
    }
    return action(messenger->engine);
}

}  // namespace

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, const size_t message_size) {
    return FlutterDesktopMessengerSendWithReply(messenger, channel, message, message_size, nullptr,
                                                nullptr);
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char* channel,
                                          const uint8_t* message, const size_t message_size,
                                          const FlutterDesktopBinaryReply reply, void* user_data) {
    if (channel == nullptr) {
        return false;
    }
    return WithEngine(messenger, "send a message", false, [&](flutter_lite::Engine* engine) {
        return engine->SendToDart(channel, message, message_size, reply, user_data);
    });
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
    WithEngine(messenger, "send a response", 0, [&](flutter_lite::Engine* engine) {
        engine->RespondToDart(handle, data, data_length);
        return 0;
    });
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
    if (channel == nullptr) {
        return;
    }
    WithEngine(messenger, "set a callback", 0, [&](flutter_lite::Engine* engine) {
        engine->SetPluginHandler(channel, callback, user_data);
        return 0;
    });
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
    if (messenger != nullptr) {
        messenger->references.fetch_add(1);
    }
    return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
    if (messenger != nullptr && messenger->references.fetch_sub(1) == 1) {
        delete messenger;
    }
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
    if (messenger == nullptr) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(messenger->mutex);
    return messenger->engine != nullptr;
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
    if (messenger != nullptr) {
        messenger->mutex.lock();
    }
    return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
    if (messenger != nullptr) {
        messenger->mutex.unlock();
    }
}

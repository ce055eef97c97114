// The embedder's C messenger API over the engine.
//
// Every call resolves the engine under the messenger's lock, so a call racing with engine
// shutdown either completes against the running engine or is dropped; none touches a stopped one.
#include "flutter_lite/engine/engine.h"

#include <cstdio>

namespace {

// Runs |action| with the engine if it still runs; returns |fallback| otherwise.
template <typename Result, typename Action>
Result WithEngine(FlutterDesktopMessengerRef messenger, Result fallback, Action action) {
    if (messenger == nullptr) {
        return fallback;
    }
    std::lock_guard<std::recursive_mutex> lock(messenger->mutex);
    if (messenger->engine == nullptr) {
        return fallback;
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
    return WithEngine(messenger, false, [&](flutter_lite::Engine* engine) {
        return engine->SendToDart(channel, message, message_size, reply, user_data);
    });
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
    WithEngine(messenger, 0, [&](flutter_lite::Engine* engine) {
        engine->RespondToDart(handle, data, data_length);
        return 0;
    });
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
    if (channel == nullptr) {
        return;
    }
    WithEngine(messenger, 0, [&](flutter_lite::Engine* engine) {
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

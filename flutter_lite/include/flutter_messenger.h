// Binary messenger of the embedder: channel messages between Dart and native code.
//
// Threading: message callbacks run on the platform thread. FlutterDesktopMessengerSendResponse,
// Send and SendWithReply may be called from any thread. A response handle must be answered exactly
// once; it is invalid afterwards (a second answer is ignored with an error print). Once the engine
// has detached the messenger (FlutterDesktopMessengerIsAvailable returns false; this happens
// before plugins are destroyed), sending, answering and setting a callback end the process with
// FLUTTER_LITE_FATAL_EXIT_CODE, as the real embedder's release build crashes there: code that may
// run that late checks IsAvailable under FlutterDesktopMessengerLock first. A null messenger is a
// no-op (sends return false).
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_MESSENGER_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_MESSENGER_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"

#if defined(__cplusplus)
extern "C" {
#endif

// Opaque, reference-counted messenger. The engine holds one reference for its lifetime.
typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;

// Opaque handle for answering one incoming message.
typedef struct _FlutterPlatformMessageResponseHandle FlutterDesktopMessageResponseHandle;

// Called with the answer to a message sent with FlutterDesktopMessengerSendWithReply.
typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size, void* user_data);

// A message received on a channel. Valid only for the duration of the callback.
typedef struct {
    size_t struct_size;
    const char* channel;
    const uint8_t* message;
    size_t message_size;
    const FlutterDesktopMessageResponseHandle* response_handle;
} FlutterDesktopMessage;

typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef /* messenger */,
                                              const FlutterDesktopMessage* /* message*/,
                                              void* /* user data */);

// Sends a message to Dart without expecting an answer. Returns false if it was not sent.
FLUTTER_EXPORT bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                const char* channel, const uint8_t* message,
                                                const size_t message_size);

// Sends a message to Dart; |reply| is called on the platform thread with Dart's answer (empty when
// Dart has no handler for the channel). Returns false, and never calls |reply|, if not sent.
FLUTTER_EXPORT bool FlutterDesktopMessengerSendWithReply(
    FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
    const size_t message_size, const FlutterDesktopBinaryReply reply, void* user_data);

// Answers an incoming message. Callable from any thread, once per handle.
FLUTTER_EXPORT void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger, const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);

// Registers |callback| for |channel|, replacing any previous one; a null callback unregisters.
FLUTTER_EXPORT void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger,
                                                       const char* channel,
                                                       FlutterDesktopMessageCallback callback,
                                                       void* user_data);

// Reference counting: the messenger object outlives the engine while references remain.
FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger);
FLUTTER_EXPORT void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger);

// Whether the engine behind the messenger still runs. Meaningful only while locked.
FLUTTER_EXPORT bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger);

// Recursive lock that keeps the engine from stopping between IsAvailable and SendResponse.
// Returns |messenger|.
FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger);
FLUTTER_EXPORT void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_MESSENGER_H_

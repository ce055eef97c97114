// Control of the in-process engine, for the code that plays the Dart side (tests, lumetctl).
//
// An engine owns a platform thread that it starts itself and that runs a Windows message loop
// until the engine is destroyed. Everything the engine calls back runs on that thread: plugin
// message handlers, plugin registration, Dart-side handlers, the answers to Dart's sends and the
// answers to the plugin's sends. Callbacks are never made while the engine holds a lock, so they
// may call back into the engine. They must not block the platform thread for long, and must not
// destroy the engine.
//
// Messages are copied when sent; the copies are wiped once delivered (they may carry secrets).
// The engine is a stand-in for an application's embedder: it has no view and no Dart VM.
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_LITE_ENGINE_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_LITE_ENGINE_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_plugin_registrar.h"

#if defined(__cplusplus)
extern "C" {
#endif

// Exit code of a process that flutter_lite ends on a use of the embedder API that the real
// embedder's release build crashes on: setting a handler, sending a message or answering one on a
// messenger whose engine has been detached (during engine destruction, and so in every plugin
// destructor). The embedder's check message goes to standard error first, e.g.
// "Messenger must reference a running engine to set a callback".
#define FLUTTER_LITE_FATAL_EXIT_CODE 70

typedef struct FlutterLiteEngine* FlutterLiteEngineRef;

// Handle for answering one message that a plugin sent to the Dart side.
typedef struct FlutterLiteDartResponse* FlutterLiteDartResponseRef;

// Answer to a message sent from the Dart side. |reply| is null and |reply_size| 0 for an empty
// answer (no plugin handler for the channel, or the engine stopped before the plugin answered).
typedef void (*FlutterLiteDartReplyCallback)(const uint8_t* reply, size_t reply_size,
                                             void* user_data);

// Dart-side handler for messages the plugin sends. Answer |response| once, from any thread, with
// FlutterLiteEngineRespondFromDart.
typedef void (*FlutterLiteDartMessageHandler)(FlutterLiteEngineRef engine, const char* channel,
                                              const uint8_t* message, size_t message_size,
                                              FlutterLiteDartResponseRef response, void* user_data);

typedef void (*FlutterLiteTask)(void* user_data);

typedef enum {
    kFlutterLitePluginRegistered = 0,
    // LoadLibraryExW failed; GetLastError() holds the loader's error.
    kFlutterLitePluginLibraryNotFound = 1,
    // The library has no export "<plugin_class>RegisterWithRegistrar"; it was unloaded again.
    kFlutterLitePluginEntryNotFound = 2,
    // The engine is stopping, or registration did not finish within 10 seconds.
    kFlutterLitePluginNotRun = 3,
} FlutterLitePluginLoadResult;

// Starts an engine and its platform thread. Returns null if the thread or its message window
// could not be created within 10 seconds.
FLUTTER_EXPORT FlutterLiteEngineRef FlutterLiteEngineCreate(void);

// Stops the engine like a closing application window: the messenger is detached from the engine
// first (from then on using it to set a handler or to send is fatal, see
// FLUTTER_LITE_FATAL_EXIT_CODE), then every registrar destruction handler runs (platform thread:
// this destroys the plugins), Dart sends still unanswered get an empty
// answer, answers to the plugin's sends still pending are dropped, and the platform thread ends.
// Blocks until then. Must not be called on the platform thread. Plugin libraries stay loaded (their
// detached threads may still run code in them).
FLUTTER_EXPORT void FlutterLiteEngineDestroy(FlutterLiteEngineRef engine);

FLUTTER_EXPORT uint32_t FlutterLiteEngineGetPlatformThreadId(FlutterLiteEngineRef engine);

FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterLiteEngineGetMessenger(FlutterLiteEngineRef engine);

// The registrar for |plugin_name|, created on first use; the same name gives the same registrar.
// Valid until the engine is destroyed.
FLUTTER_EXPORT FlutterDesktopPluginRegistrarRef
FlutterLiteEngineGetRegistrarForPlugin(FlutterLiteEngineRef engine, const char* plugin_name);

// Loads the plugin library at the absolute path |library_path| (its own folder is searched for its
// dependencies) and calls "<plugin_class>RegisterWithRegistrar" on the platform thread with the
// registrar for |plugin_class|, as an application's generated registrant does. Waits up to
// 10 seconds for the registration to finish.
FLUTTER_EXPORT FlutterLitePluginLoadResult FlutterLiteEngineLoadPlugin(FlutterLiteEngineRef engine,
                                                                       const wchar_t* library_path,
                                                                       const char* plugin_class);

// Runs |task| on the platform thread. Returns false if the engine is stopping; tasks still queued
// when the engine stops are not run.
FLUTTER_EXPORT bool FlutterLiteEnginePostTask(FlutterLiteEngineRef engine, FlutterLiteTask task,
                                              void* user_data);

// Sends a message from the Dart side to the plugin handler of |channel|. |reply| (may be null) is
// called exactly once on the platform thread: with the plugin's answer, or empty when the channel
// has no handler or the engine stops first. Returns false, and never calls |reply|, if the engine
// is stopping.
FLUTTER_EXPORT bool FlutterLiteEngineSendFromDart(FlutterLiteEngineRef engine, const char* channel,
                                                  const uint8_t* message, size_t message_size,
                                                  FlutterLiteDartReplyCallback reply,
                                                  void* user_data);

// Sets the Dart-side handler for messages the plugin sends on |channel|; null removes it. Without a
// handler the plugin's send is answered empty, as Dart does for a channel nobody listens on.
FLUTTER_EXPORT void FlutterLiteEngineSetDartHandler(FlutterLiteEngineRef engine,
                                                    const char* channel,
                                                    FlutterLiteDartMessageHandler handler,
                                                    void* user_data);

// Answers a message the plugin sent; callable from any thread. The plugin's reply callback then
// runs on the platform thread. Returns false if |response| was already answered (the answer is
// ignored) or the engine is stopping.
FLUTTER_EXPORT bool FlutterLiteEngineRespondFromDart(FlutterLiteEngineRef engine,
                                                     FlutterLiteDartResponseRef response,
                                                     const uint8_t* data, size_t data_size);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_LITE_ENGINE_H_

// Plugin registrar of the embedder: what a plugin receives at registration.
//
// A registrar is valid until the engine stops; the engine then calls every destruction handler
// set on it (on the platform thread) and frees it.
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_PLUGIN_REGISTRAR_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_PLUGIN_REGISTRAR_H_

#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_texture_registrar.h"

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;

typedef void (*FlutterDesktopOnPluginRegistrarDestroyed)(FlutterDesktopPluginRegistrarRef);

// The engine's messenger (not reference-counted for the caller; AddRef to keep it).
FLUTTER_EXPORT FlutterDesktopMessengerRef
FlutterDesktopPluginRegistrarGetMessenger(FlutterDesktopPluginRegistrarRef registrar);

FLUTTER_EXPORT FlutterDesktopTextureRegistrarRef
FlutterDesktopRegistrarGetTextureRegistrar(FlutterDesktopPluginRegistrarRef registrar);

// Adds |callback| to the handlers run when the registrar is destroyed. Every module that wraps the
// registrar installs its own handler; setting the same handler twice keeps one.
FLUTTER_EXPORT void FlutterDesktopPluginRegistrarSetDestructionHandler(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopOnPluginRegistrarDestroyed callback);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_PLUGIN_REGISTRAR_H_

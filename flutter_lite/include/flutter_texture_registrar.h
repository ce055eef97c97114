// Texture registrar of the embedder. This embedder is headless and offers no external textures;
// the handle exists so that registrars expose the same API shape as a full embedder.
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_TEXTURE_REGISTRAR_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_TEXTURE_REGISTRAR_H_

#include <stddef.h>
#include <stdint.h>

#include "flutter_export.h"

#if defined(__cplusplus)
extern "C" {
#endif

typedef struct FlutterDesktopTextureRegistrar* FlutterDesktopTextureRegistrarRef;

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_TEXTURE_REGISTRAR_H_

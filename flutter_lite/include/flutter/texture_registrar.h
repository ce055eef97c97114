// Texture registrar of the client wrapper. The engine is headless and supports no textures; the
// class exists so PluginRegistrar::texture_registrar() has its usual type.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_TEXTURE_REGISTRAR_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_TEXTURE_REGISTRAR_H_

#include <flutter_texture_registrar.h>

namespace flutter {

class TextureRegistrar {
  public:
    virtual ~TextureRegistrar() = default;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_TEXTURE_REGISTRAR_H_

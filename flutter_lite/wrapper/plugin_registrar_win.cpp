// Client-side registrars over the embedder's C registrar.
#include <flutter/plugin_registrar.h>

#include "flutter_lite/wrapper/binary_messenger_impl.h"

namespace flutter {

namespace {

class TextureRegistrarImpl : public TextureRegistrar {
  public:
    explicit TextureRegistrarImpl(FlutterDesktopTextureRegistrarRef texture_registrar)
        : texture_registrar_(texture_registrar) {}

  private:
    [[maybe_unused]] FlutterDesktopTextureRegistrarRef texture_registrar_;
};

}  // namespace

PluginRegistrar::PluginRegistrar(FlutterDesktopPluginRegistrarRef registrar)
    : registrar_(registrar) {
    auto core_messenger = FlutterDesktopPluginRegistrarGetMessenger(registrar_);
    messenger_ = std::make_unique<BinaryMessengerImpl>(core_messenger);
    auto texture_registrar = FlutterDesktopRegistrarGetTextureRegistrar(registrar_);
    texture_registrar_ = std::make_unique<TextureRegistrarImpl>(texture_registrar);
}

PluginRegistrar::~PluginRegistrar() {
    // Plugins first: their destructors may still use the messenger.
    ClearPlugins();
    messenger_.reset();
}

void PluginRegistrar::AddPlugin(std::unique_ptr<Plugin> plugin) {
    plugins_.insert(std::move(plugin));
}

void PluginRegistrar::ClearPlugins() {
    plugins_.clear();
}

// ---- PluginRegistrarManager ----

PluginRegistrarManager* PluginRegistrarManager::GetInstance() {
    // Never destroyed: registrars may still be dropped by the engine during process exit.
    static PluginRegistrarManager* instance = new PluginRegistrarManager();
    return instance;
}

PluginRegistrarManager::PluginRegistrarManager() = default;

void PluginRegistrarManager::Reset() {
    WrapperMap doomed;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        doomed.swap(registrars_);
    }
    // Destroyed outside the lock: plugin destructors may call back into the manager.
}

void PluginRegistrarManager::OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar) {
    PluginRegistrarManager* manager = GetInstance();
    std::unique_ptr<PluginRegistrar> doomed;
    {
        std::lock_guard<std::recursive_mutex> lock(manager->mutex_);
        auto it = manager->registrars_.find(registrar);
        if (it == manager->registrars_.end()) {
            return;
        }
        doomed = std::move(it->second);
        manager->registrars_.erase(it);
    }
}

}  // namespace flutter

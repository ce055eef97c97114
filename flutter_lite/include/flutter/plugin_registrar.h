// Client-side plugin registrar: owns the plugins registered with one engine registrar.
//
// Threading: create, use and destroy registrars on the platform thread.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_PLUGIN_REGISTRAR_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_PLUGIN_REGISTRAR_H_

#include <flutter_plugin_registrar.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "binary_messenger.h"
#include "texture_registrar.h"

namespace flutter {

class Plugin;

class PluginRegistrar {
  public:
    explicit PluginRegistrar(FlutterDesktopPluginRegistrarRef core_registrar);

    // Destroys the plugins first, then the messenger they used.
    virtual ~PluginRegistrar();

    PluginRegistrar(PluginRegistrar const&) = delete;
    PluginRegistrar& operator=(PluginRegistrar const&) = delete;

    BinaryMessenger* messenger() { return messenger_.get(); }

    TextureRegistrar* texture_registrar() { return texture_registrar_.get(); }

    // Takes ownership of |plugin|; it lives as long as the registrar.
    void AddPlugin(std::unique_ptr<Plugin> plugin);

  protected:
    FlutterDesktopPluginRegistrarRef registrar() const { return registrar_; }

    // Destroys every plugin. Subclasses call it first in their destructor so that plugins go away
    // while everything they may use still exists.
    void ClearPlugins();

  private:
    FlutterDesktopPluginRegistrarRef registrar_;
    std::unique_ptr<BinaryMessenger> messenger_;
    std::unique_ptr<TextureRegistrar> texture_registrar_;
    std::set<std::unique_ptr<Plugin>> plugins_;
};

// Base of every plugin object owned by a registrar.
class Plugin {
  public:
    virtual ~Plugin() = default;
};

// One client registrar per engine registrar, per module (each plugin library has its own manager).
// An entry is dropped, destroying its plugins, when the engine destroys the registrar.
class PluginRegistrarManager {
  public:
    static PluginRegistrarManager* GetInstance();

    PluginRegistrarManager(PluginRegistrarManager const&) = delete;
    PluginRegistrarManager& operator=(PluginRegistrarManager const&) = delete;

    // The registrar for |registrar_ref|, created as a T on first use. A later call must ask for
    // the same T.
    template <class T>
    T* GetRegistrar(FlutterDesktopPluginRegistrarRef registrar_ref) {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        auto it = registrars_.find(registrar_ref);
        if (it == registrars_.end()) {
            it = registrars_.emplace(registrar_ref, std::make_unique<T>(registrar_ref)).first;
            FlutterDesktopPluginRegistrarSetDestructionHandler(registrar_ref, OnRegistrarDestroyed);
        }
        return static_cast<T*>(it->second.get());
    }

    // Destroys every registrar (and its plugins).
    void Reset();

  private:
    using WrapperMap = std::map<FlutterDesktopPluginRegistrarRef, std::unique_ptr<PluginRegistrar>>;

    PluginRegistrarManager();

    static void OnRegistrarDestroyed(FlutterDesktopPluginRegistrarRef registrar);

    // Recursive: destroying a registrar runs plugin destructors, which may ask for a registrar.
    std::recursive_mutex mutex_;
    WrapperMap registrars_;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_PLUGIN_REGISTRAR_H_

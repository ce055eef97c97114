// The source of plugin registrars an application's generated plugin registrant is handed
// (RegisterPlugins(flutter::PluginRegistry*)); the application's engine object implements it.
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_PLUGIN_REGISTRY_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_PLUGIN_REGISTRY_H_

#include <flutter_plugin_registrar.h>

#include <string>

namespace flutter {

class PluginRegistry {
  public:
    PluginRegistry() = default;
    virtual ~PluginRegistry() = default;

    PluginRegistry(PluginRegistry const&) = delete;
    PluginRegistry& operator=(PluginRegistry const&) = delete;

    // The registrar for the plugin named |plugin_name| (its plugin class), owned by the engine.
    virtual FlutterDesktopPluginRegistrarRef GetRegistrarForPlugin(
        const std::string& plugin_name) = 0;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_PLUGIN_REGISTRY_H_

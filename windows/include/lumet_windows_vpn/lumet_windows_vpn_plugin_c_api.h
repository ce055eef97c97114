// The one export of lumet_windows_vpn_plugin, called by the Flutter Windows embedder (through the
// application's generated plugin registrant) once per plugin registrar.
#ifndef FLUTTER_PLUGIN_LUMET_WINDOWS_VPN_PLUGIN_C_API_H_
#define FLUTTER_PLUGIN_LUMET_WINDOWS_VPN_PLUGIN_C_API_H_

#include <flutter_plugin_registrar.h>

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __declspec(dllexport)
#else
#define FLUTTER_PLUGIN_EXPORT __declspec(dllimport)
#endif

#if defined(__cplusplus)
extern "C" {
#endif

// Creates the plugin for `registrar` (on the platform thread): sets up its host API channels and
// hands it to the registrar, which owns it from then on.
FLUTTER_PLUGIN_EXPORT void LumetWindowsVpnPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);

#if defined(__cplusplus)
}  // extern "C"
#endif

#endif  // FLUTTER_PLUGIN_LUMET_WINDOWS_VPN_PLUGIN_C_API_H_

#include <lumet_windows_vpn/lumet_windows_vpn_plugin_c_api.h>

#include <flutter/plugin_registrar_windows.h>

#include "plugin/plugin.h"

void LumetWindowsVpnPluginCApiRegisterWithRegistrar(FlutterDesktopPluginRegistrarRef registrar) {
    // One client registrar per engine registrar, kept by the manager until the engine destroys
    // the registrar.
    lumet_windows_vpn::LumetWindowsVpnPlugin::RegisterWithRegistrar(
        ::flutter::PluginRegistrarManager::GetInstance()
            ->GetRegistrar<::flutter::PluginRegistrarWindows>(registrar));
}

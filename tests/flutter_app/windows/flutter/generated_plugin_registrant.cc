//
//  Generated file. Do not edit.
//

// clang-format off

#include "generated_plugin_registrant.h"

#include <lumet_windows_vpn/lumet_windows_vpn_plugin_c_api.h>

void RegisterPlugins(flutter::PluginRegistry* registry) {
  LumetWindowsVpnPluginCApiRegisterWithRegistrar(
      registry->GetRegistrarForPlugin("LumetWindowsVpnPluginCApi"));
}

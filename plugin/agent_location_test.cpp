#include "plugin/agent_location.h"

#include <gtest/gtest.h>

namespace lumet_windows_vpn {
namespace {

TEST(AgentLocationTest, AgentSitsBesideTheModule) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\app\\plugins\\lumet_windows_vpn_plugin.dll",
         L"C:\\app\\plugins\\OrrinfieldVPNAgent.exe"},
        {L"C:\\plugin.dll", L"C:\\OrrinfieldVPNAgent.exe"},
        {L"C:/app/x.dll", L"C:/app\\OrrinfieldVPNAgent.exe"},
        {L"C:\\a/b\\c.dll", L"C:\\a/b\\OrrinfieldVPNAgent.exe"},
        {L"\\\\server\\share\\p.dll", L"\\\\server\\share\\OrrinfieldVPNAgent.exe"},
        {L"plugin.dll", L""},
        {L"", L""},
    };
    for (const auto& [module, agent] : cases) {
        EXPECT_EQ(AgentPathBesideModule(module), agent) << module;
    }
}

TEST(AgentLocationTest, CommandLineIsTheQuotedPathAlone) {
    EXPECT_EQ(AgentCommandLine(L"C:\\Program Files\\A\\OrrinfieldVPNAgent.exe"),
              L"\"C:\\Program Files\\A\\OrrinfieldVPNAgent.exe\"");
}

}  // namespace
}  // namespace lumet_windows_vpn

// Finding openvpn.exe beside the agent or through the registry, file versions, and service
// states, against the real file system, registry and service manager of the Wine prefix.
#include "agent/openvpn/openvpn_discovery_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "common/win_handle.h"
#include "test_util.h"
#include "win_test_util.h"

namespace lumet::agent::openvpn {
namespace {

namespace fs = std::filesystem;

class OpenVpnDiscoveryWinTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(isolated_machine_.active());
        wchar_t temp[MAX_PATH] = {};
        ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
        root_ = fs::path(temp) / (L"lumet-ova-discovery-" + test::UniqueSuffixW());
        fs::remove_all(root_);
        fs::create_directories(root_ / L"agent");
        fs::create_directories(root_ / L"installed");
        registry_key_ = L"SOFTWARE\\LumetTest\\OpenVPN-" + test::UniqueSuffixW();
    }
    void TearDown() override {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, registry_key_.c_str(), KEY_WOW64_64KEY, 0);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static void Touch(const fs::path& path) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "MZ";
    }

    void SetExePath(DWORD type, const std::wstring& value) {
        common::UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, registry_key_.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), L"exe_path", 0, type,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }

    // The lookup reads HKLM in this process only, so the machine's own key stays untouched.
    test::IsolatedLocalMachine isolated_machine_;
    fs::path root_;
    std::wstring registry_key_;
};

TEST_F(OpenVpnDiscoveryWinTest, BesideTheAgentWinsOverTheRegistry) {
    const fs::path beside = root_ / L"agent" / L"lib" / L"openvpn" / L"amd64" / L"openvpn.exe";
    const fs::path installed = root_ / L"installed" / L"openvpn.exe";
    Touch(installed);
    SetExePath(REG_SZ, installed.wstring());
    const std::wstring agent_dir = (root_ / L"agent").wstring();

    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), installed.wstring());
    Touch(beside);
    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), beside.wstring());
    // Without an agent directory only the registry counts.
    EXPECT_EQ(FindOpenVpnIn(L"", registry_key_), installed.wstring());
}

TEST_F(OpenVpnDiscoveryWinTest, RegistryValueMustBeAStringNamingAnExistingFile) {
    const fs::path installed = root_ / L"installed" / L"openvpn.exe";
    Touch(installed);
    const std::wstring agent_dir = (root_ / L"agent").wstring();

    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), L"");  // no key
    SetExePath(REG_EXPAND_SZ, installed.wstring());
    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), L"");
    SetExePath(REG_SZ, (root_ / L"installed" / L"missing.exe").wstring());
    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), L"");
    SetExePath(REG_SZ, L"C:\\" + std::wstring(300, L'x'));  // longer than the 260-unit buffer
    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), L"");
    SetExePath(REG_SZ, installed.wstring());
    EXPECT_EQ(FindOpenVpnIn(agent_dir, registry_key_), installed.wstring());
}

TEST_F(OpenVpnDiscoveryWinTest, FileVersionText) {
    // Wine's own system libraries carry version resources.
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::string version = FileVersionText(std::wstring(system) + L"\\kernel32.dll");
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << version;

    const fs::path plain = root_ / L"installed" / L"openvpn.exe";
    Touch(plain);
    EXPECT_EQ(FileVersionText(plain.wstring()), "");
    EXPECT_EQ(FileVersionText((root_ / L"missing.exe").wstring()), "");
}

TEST_F(OpenVpnDiscoveryWinTest, ServiceStates) {
    const std::wstring missing = L"LumetNoSuchService-" + test::UniqueSuffixW();
    EXPECT_EQ(ServiceState(missing, false), Tri::No);
    EXPECT_EQ(ServiceState(missing, true), Tri::No);

    // A service every Wine prefix has.
    EXPECT_EQ(ServiceState(L"PlugPlay", false), Tri::Yes);
    EXPECT_NE(ServiceState(L"PlugPlay", true), Tri::Unknown);
}

}  // namespace
}  // namespace lumet::agent::openvpn

#include "service/wireguard/tunnel_names.h"

#include <gtest/gtest.h>

#include "service/wireguard/secure_delete_plan.h"

namespace lumet::service::wireguard {
namespace {

TEST(TunnelCommandLineTest, QuotesBothPathsAroundTheSwitch) {
    EXPECT_EQ(BuildTunnelCommandLine(L"C:\\Program Files\\Orrinfield VPN\\wireguard.exe",
                                     L"C:\\ProgramData\\Orrinfield\\vpn\\wireguard\\"
                                     L"orrinfieldwireguard.conf"),
              L"\"C:\\Program Files\\Orrinfield VPN\\wireguard.exe\" /tunnelservice "
              L"\"C:\\ProgramData\\Orrinfield\\vpn\\wireguard\\orrinfieldwireguard.conf\"");
}

TEST(TunnelCommandLineTest, JoinsPathsWithOneSeparator) {
    struct Case {
        std::wstring_view directory;
        std::wstring_view expected;
    };
    const Case cases[] = {
        {L"C:\\svc", L"C:\\svc\\wireguard.exe"},
        {L"C:\\svc\\", L"C:\\svc\\wireguard.exe"},
        {L"C:\\svc/", L"C:\\svc\\wireguard.exe"},
        {L"C:\\", L"C:\\wireguard.exe"},
        // An unknown folder must not turn into "\wireguard.exe" on the current drive.
        {L"", L""},
        {L"\\", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JoinWindowsPath(c.directory, kWireGuardExeName), c.expected)
            << std::wstring(c.directory);
    }
}

// Log lines name the category; a new value without a name would show up as a bare number.
TEST(TunnelErrorNameTest, EveryCategoryHasItsOwnName) {
    struct Case {
        TunnelError error;
        std::wstring_view name;
    };
    const Case cases[] = {
        {TunnelOk, L"TunnelOk"},
        {TunnelConfigRejected, L"TunnelConfigRejected"},
        {TunnelBusy, L"TunnelBusy"},
        {TunnelSetupFailed, L"TunnelSetupFailed"},
        {TunnelStartFailed, L"TunnelStartFailed"},
        {TunnelAdapterMissing, L"TunnelAdapterMissing"},
        {TunnelStopIncomplete, L"TunnelStopIncomplete"},
        {TunnelConfigWriteFailed, L"TunnelConfigWriteFailed"},
        {static_cast<TunnelError>(8), L"TunnelError(8)"},
        {static_cast<TunnelError>(65535), L"TunnelError(65535)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TunnelErrorName(c.error), c.name) << static_cast<unsigned>(c.error);
    }
}

TEST(SecureDeletePlanTest, NeverWritesThroughALinkAndNeverTouchesDirectories) {
    struct Case {
        PathFacts facts;
        SecureDeletePlan expected;
    };
    const Case cases[] = {
        {{false, false, false}, SecureDeletePlan::Leave},
        {{true, true, false}, SecureDeletePlan::Leave},
        {{true, true, true}, SecureDeletePlan::Leave},  // a directory link: left alone
        {{true, false, true}, SecureDeletePlan::UnlinkOnly},
        {{true, false, false}, SecureDeletePlan::OverwriteAndDelete},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PlanSecureDelete(c.facts), c.expected)
            << c.facts.exists << c.facts.is_directory << c.facts.is_reparse_point;
    }
}

TEST(SecureDeletePlanTest, OverwritesOnlyFilesOfOneByteToJustUnderOneMebibyte) {
    EXPECT_FALSE(ShouldOverwriteFileOfSize(0));
    EXPECT_TRUE(ShouldOverwriteFileOfSize(1));
    EXPECT_TRUE(ShouldOverwriteFileOfSize(1048575));
    EXPECT_FALSE(ShouldOverwriteFileOfSize(1048576));
}

}  // namespace
}  // namespace lumet::service::wireguard

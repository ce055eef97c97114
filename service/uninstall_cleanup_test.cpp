#include "service/uninstall_cleanup.h"

#include <gtest/gtest.h>

#include <vector>

namespace lumet::service {
namespace {

TEST(UninstallCleanupRequest, OnlyTheFirstArgumentInAnyLetterCase) {
    struct Case {
        std::vector<const wchar_t*> args;
        bool cleanup;
    };
    const Case cases[] = {
        {{L"svc.exe", L"--uninstall-cleanup"}, true},
        {{L"svc.exe", L"--UNINSTALL-CLEANUP"}, true},
        {{L"svc.exe", L"--console", L"--uninstall-cleanup"}, false},
        {{L"svc.exe", L"--uninstall"}, false},
        {{L"svc.exe", L"--uninstall-cleanup "}, false},
        {{L"svc.exe"}, false},
        {{L"svc.exe", nullptr}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsUninstallCleanupRequest(static_cast<int>(c.args.size()), c.args.data()),
                  c.cleanup)
            << (c.args.size() > 1 && c.args[1] ? "with an argument" : "without");
    }
    EXPECT_FALSE(IsUninstallCleanupRequest(2, nullptr));
}

TEST(UninstallCleanupExitCode, SucceedsOnlyWhenEverythingIsGone) {
    struct Case {
        bool service_stopped;
        wireguard::TunnelError tunnel_error;
        uint32_t registry_error;
        int exit_code;
    };
    const Case cases[] = {
        {true, wireguard::TunnelOk, 0, kCleanupOk},
        {true, wireguard::TunnelOk, 2, kCleanupOk},  // no activity record to remove
        // The tunnel service could not be removed.
        {true, wireguard::TunnelStopIncomplete, 0, kCleanupIncomplete},
        {true, wireguard::TunnelOk, 5, kCleanupIncomplete},   // key could not be deleted
        {false, wireguard::TunnelOk, 0, kCleanupIncomplete},  // service still running
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CleanupExitCode(c.service_stopped, c.tunnel_error, c.registry_error), c.exit_code)
            << c.service_stopped << " " << c.tunnel_error << " " << c.registry_error;
    }
}

}  // namespace
}  // namespace lumet::service

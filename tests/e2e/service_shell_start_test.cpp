// OrrinfieldVPNService.exe started from a shell without "--console": the service control
// dispatcher cannot connect, and the program says how to run it instead.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/service_harness.h"

namespace lumet::test {
namespace {

TEST(ServiceStartedFromShell, ExplainsOnStandardErrorAndExitsWithOne) {
    ChildProcess child;
    ChildOptions options;
    options.capture_stderr = true;
    // "--console" anywhere but first does not select console mode.
    ASSERT_TRUE(child.Start(ServiceExecutablePath(), L"extra --console", options))
        << GetLastError();
    // The dispatcher gives up after about 10 s when no service manager started the program.
    const std::optional<DWORD> exit_code = child.WaitForExit(40000);
    ASSERT_TRUE(exit_code.has_value()) << "still running";
    EXPECT_EQ(*exit_code, 1u);
    EXPECT_EQ(child.StandardError(),
              "OrrinfieldVPNService: not started by the SCM.\n"
              "  Install + start it with tools\\windows\\dev\\install_orrinfield_vpn_service.ps1 "
              "(elevated),\n"
              "  or run 'OrrinfieldVPNService.exe --console' for a foreground dev instance.\n");
}

}  // namespace
}  // namespace lumet::test

// OrrinfieldVPNService.exe
#include "service/service_main.h"
#include "service/uninstall_cleanup.h"

int wmain(int argc, wchar_t** argv) {
    // Run by the installer on uninstall, as LocalSystem, once the service has stopped.
    if (lumet::service::IsUninstallCleanupRequest(argc, argv)) {
        return lumet::service::RunUninstallCleanup();
    }
    return lumet::service::RunServiceProgram(argc, argv);
}

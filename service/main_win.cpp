// OrrinfieldVPNService.exe
#include "service/service_main.h"

int wmain(int argc, wchar_t** argv) {
    return lumet::service::RunServiceProgram(argc, argv);
}

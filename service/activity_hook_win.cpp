#include "service/activity_hook.h"

#include <windows.h>

#include "service/activity_win.h"
#include "service/service_state.h"

namespace lumet::service {

void RecordActivity(ServiceState& state) {
    RecordVpnActivity(state, GetTickCount64());
}

}  // namespace lumet::service

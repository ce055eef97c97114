// The point where the service refreshes the machine-wide VPN activity record.
//
// Called on the server thread only: once when the state is built, at least every 5 s while the
// server runs (client or not), once more when the server stops, and after the requests that
// change what is active.
// Gathers the evidence, decides, and writes the registry record only when the verdict changed
// (service/activity_win.h).
#pragma once

namespace lumet::service {

class ServiceState;

void RecordActivity(ServiceState& state);

}  // namespace lumet::service

// The point where the service refreshes the machine-wide VPN activity record.
//
// Called on the server thread only: once when the state is built, after every 5 s without a
// client, once more when the server stops, and after the requests that change what is active.
// The record itself (registry value, decision, OpenVPN report fields under `activity_lock`) plugs
// in behind this function; until it does, refreshing has nothing to write.
#pragma once

namespace lumet::service {

class ServiceState;

void RecordActivity(ServiceState& state);

}  // namespace lumet::service

#!/usr/bin/env bash
# The demo: one command on a fresh Debian machine (as root) that shows the back end at work.
#
#   bash scripts/demo.sh [--no-build] [--build-dir <dir>] [--keep-wine]
#
# It installs what the build needs (scripts/bootstrap.sh), builds only the programs the demo runs
# (preset "windows": the service, the agent, the plugin, lumetctl and the simulators),
# prepares the build's Wine prefix, packages OrrinfieldVPN-<version>-x64.msi (scripts/package.sh)
# and installs it with Wine's msiexec as a user would, which registers and starts
# OrrinfieldVPNService from Program Files (wireguard.exe and wireguard.dll beside it are the
# simulator), then drives
# everything through lumetctl, which loads the plugin DLL as the Flutter application does:
# health, a WireGuard connect with a throwaway key, status with counters, a few seconds of
# events, disconnect, and the machine-wide VPN activity record in the registry; then the same for
# OpenVPN against the OpenVPN simulator (sim/openvpn: the interactive service and openvpn.exe with
# its management interface): capabilities, a connect with a sample profile and the simulator's
# test credentials, status with byte counts, the activity record, disconnect. `lumetctl doctor`
# runs before OpenVPN is installed (it names what is missing) and after (everything passes). Whatever happens,
# the services are stopped and deleted and Wine is stopped again; the exit code is non-zero when
# any step failed.
#
#   --no-build       use an already built tree (CI runs the demo this way, after its own build)
#   --build-dir DIR  the Windows build folder (default build/windows, the preset's)
#   --keep-wine      leave the prefix's Wine server running (when a test runner owns it)
#
# Steps are shell functions listed in STEPS below; a new demo step is a function plus its name
# appended to that list.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/windows
do_build=1
stop_wine=1
while (($#)); do
  case "$1" in
    --no-build) do_build=0 ;;
    --build-dir) build=${2:?--build-dir needs a folder}; shift ;;
    --keep-wine) stop_wine=0 ;;
    *) echo "usage: demo.sh [--no-build] [--build-dir <dir>] [--keep-wine]" >&2; exit 2 ;;
  esac
  shift
done

say() { printf '\n== %s\n' "$*"; }
# shellcheck source=scripts/sample-wireguard-config.sh
. scripts/sample-wireguard-config.sh

if ((do_build)); then
  say "Installing build packages (if missing)"
  bash scripts/bootstrap.sh
  say "Building the service, the agent, the plugin, lumetctl and the simulators"
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target OrrinfieldVPNService OrrinfieldVPNAgent \
    lumet_windows_vpn_plugin lumetctl wireguard_sim_exe wireguard_sim_dll \
    openvpn_sim_exe openvpn_interactive_sim_exe
fi

build=$(cd "$build" && pwd)
run="$build/wine-run"
bin="$build/bin"
for program in OrrinfieldVPNService.exe OrrinfieldVPNAgent.exe lumet_windows_vpn_plugin.dll \
  lumetctl.exe flutter_windows.dll wireguard.exe wireguard.dll openvpn.exe openvpnserv_sim.exe; do
  [ -f "$bin/$program" ] || { echo "demo: $bin/$program is missing; build first" >&2; exit 1; }
done

# The agent the plugin starts ends by itself this long after its last client (default 300 s).
export ORRINFIELD_AGENT_IDLE_SECONDS=${ORRINFIELD_AGENT_IDLE_SECONDS:-15}
workdir=$(mktemp -d)
config="$workdir/demo-wireguard.conf"
agent_pid=""
msi=""

lumetctl() {
  "$run" "$bin/lumetctl.exe" "$@" </dev/null
}

cleanup() {
  local rc=$?
  set +e
  say "Cleaning up"
  if [ "$(bash scripts/wine-service.sh "$build" status 2>/dev/null)" = RUNNING ]; then
    lumetctl wg-down >/dev/null 2>&1
  fi
  if [ "$(bash scripts/wine-openvpn-sim.sh "$build" status 2>/dev/null)" = RUNNING ]; then
    lumetctl ovpn-down >/dev/null 2>&1
  fi
  bash scripts/wine-openvpn-sim.sh "$build" uninstall >/dev/null 2>&1
  # The agent would end by itself when idle; end the one this demo started (before the uninstall:
  # the service stops only once the agent's link to it has ended). By image name, not by the id it
  # had: Wine reuses process ids at once, and an agent that already idled out may have left its id
  # to an unrelated process of this prefix.
  if [ -n "$agent_pid" ]; then
    "$run" taskkill /IM OrrinfieldVPNAgent.exe /F >/dev/null 2>&1 </dev/null
  fi
  if [ -n "$msi" ]; then
    say "Uninstalling Orrinfield VPN (msiexec /x)"
    "$run" msiexec /x "$("$run" winepath -w "$msi" </dev/null | tr -d '\r')" /qn </dev/null ||
      echo "demo: msiexec /x failed" >&2
  fi
  bash scripts/wine-service.sh "$build" uninstall
  if ((stop_wine)); then
    bash scripts/wine-warmup.sh "$build" --stop
  fi
  rm -rf "$workdir"
  if ((rc == 0)); then
    say "Demo finished"
  else
    say "Demo FAILED (exit code $rc)"
  fi
  exit "$rc"
}

say "Preparing Wine"
bash scripts/wine-warmup.sh "$build"
trap cleanup EXIT

step_start_service() {
  say "Packaging the installer (wixl) and installing it silently (msiexec /i ... /qn)"
  # A service registered by hand (scripts/wine-service.sh) would stand in the installer's way.
  bash scripts/wine-service.sh "$build" uninstall
  msi=$(bash scripts/package.sh --build-dir "$build" --output "$workdir")
  "$run" msiexec /i "$("$run" winepath -w "$msi" </dev/null | tr -d '\r')" /qn </dev/null
  local i
  for i in $(seq 1 100); do
    [ "$(bash scripts/wine-service.sh "$build" status)" = RUNNING ] && break
    sleep 0.1
  done
  "$run" reg query 'HKLM\System\CurrentControlSet\Services\OrrinfieldVPNService' /v ImagePath \
    </dev/null | tr -d '\r' | grep ImagePath
  bash scripts/wine-service.sh "$build" status
  [ "$(bash scripts/wine-service.sh "$build" status)" = RUNNING ]
}

step_health() {
  say "Health of the plugin (lumetctl loads the plugin, which starts the agent)"
  lumetctl health
  say "Agent health"
  lumetctl --json agent-health >"$workdir/agent.json"
  cat "$workdir/agent.json"
  # The generation text starts with the agent's process id.
  agent_pid=$(sed -n 's/.*"generationText":"\([0-9]*\)-0x.*/\1/p' "$workdir/agent.json")
  say "Service health (relayed by the agent)"
  lumetctl service-health
}

step_wireguard_up() {
  say "Connecting WireGuard with a sample configuration and a throwaway key"
  write_sample_wireguard_config "$config" 25
  # --wait: back once the tunnel is up (exit 0) or has failed (exit 1, with the reason).
  lumetctl wg-up --wait 60 "$("$run" winepath -w "$config" </dev/null | tr -d '\r')"
  rm -f "$config"
}

step_wireguard_status() {
  say "WireGuard status (counters grow while the tunnel runs)"
  sleep 1
  lumetctl wg-status
}

step_events() {
  say "Events for 4 seconds"
  lumetctl events 4
}

step_wireguard_down() {
  say "Disconnecting WireGuard"
  lumetctl wg-down
}

step_activity_record() {
  say "VPN activity record (HKLM\\SOFTWARE\\Orrinfield VPN; Activity 1 = a VPN is active)"
  "$run" reg query 'HKLM\SOFTWARE\Orrinfield VPN' </dev/null | tr -d '\r' |
    grep -E 'Activity|HKEY' || { echo "demo: no activity record" >&2; return 1; }
}

# The simulator's test account; a real server would check these.
openvpn_user=sim-user
openvpn_password=correct-horse

step_openvpn_install() {
  say "Installing the OpenVPN simulator (registry values, configuration directory, interactive service)"
  bash scripts/wine-openvpn-sim.sh "$build" install
}

step_openvpn_capabilities() {
  say "OpenVPN capabilities (found, version, interactive service)"
  lumetctl ovpn-caps
}

step_openvpn_up() {
  say "Connecting OpenVPN with a sample profile (the password goes in on standard input)"
  local profile="$workdir/demo.ovpn"
  cat >"$profile" <<PROFILE
client
dev tun
proto udp
remote vpn.example.net 1194
resolv-retry infinite
nobind
auth-user-pass
verb 3
<ca>
$(head -c 48 /dev/urandom | base64)
</ca>
PROFILE
  # --wait: back once OpenVPN reports CONNECTED (exit 0) or the attempt failed (exit 1).
  local rc=0
  printf '%s\n' "$openvpn_password" |
    "$run" "$bin/lumetctl.exe" ovpn-up --wait 30 \
      "$("$run" winepath -w "$profile" </dev/null | tr -d '\r')" "$openvpn_user" || rc=$?
  rm -f "$profile"
  return "$rc"
}

step_doctor_without_openvpn() {
  say "lumetctl doctor before OpenVPN is installed (it names what is missing and how to mend it)"
  local rc=0
  lumetctl doctor || rc=$?
  if ((rc != 1)); then
    echo "demo: doctor should have failed on the missing OpenVPN (exit code $rc)" >&2
    return 1
  fi
}

step_doctor() {
  say "lumetctl doctor with everything in place"
  lumetctl doctor
}

step_openvpn_status() {
  say "OpenVPN status (byte counts come from the management interface)"
  sleep 1
  lumetctl ovpn-status
}

step_openvpn_down() {
  say "Disconnecting OpenVPN"
  lumetctl ovpn-down
  lumetctl ovpn-status
}

STEPS=(
  step_start_service
  step_health
  step_wireguard_up
  step_wireguard_status
  step_activity_record
  step_events
  step_wireguard_down
  step_activity_record
  step_doctor_without_openvpn
  step_openvpn_install
  step_openvpn_capabilities
  step_doctor
  step_openvpn_up
  step_openvpn_status
  step_activity_record
  step_openvpn_down
  step_activity_record
)

for step in "${STEPS[@]}"; do
  "$step"
done

#!/usr/bin/env bash
# Registers and drives OrrinfieldVPNService with the service manager of a Windows build's own Wine
# prefix, for end-to-end runs and the demo.
#
#   wine-service.sh <build-dir> install [display-name] | start | stop | uninstall | status
#
# The service is registered for demand start: Wine starts auto-start services whenever the prefix
# boots, which would leave a service running behind a test's back. Under Wine every service runs
# as the prefix's one user anyway. Waits for a state are bounded (10 s).
set -euo pipefail
usage="usage: wine-service.sh <build-dir> install [display-name]|start|stop|uninstall|status"
build=$(cd "${1:?$usage}" && pwd)
action=${2:?$usage}
run="$build/wine-run"
name=OrrinfieldVPNService
exe="$build/bin/OrrinfieldVPNService.exe"

# Prints the service's state word (RUNNING, STOPPED, ...), or nothing when it is not registered.
state() {
  "$run" sc query "$name" 2>/dev/null </dev/null | tr -d '\r' |
    awk '$1 == "STATE" { print $4; exit }' || true
}

wait_for() {
  local want=$1 i
  for i in $(seq 1 100); do
    [ "$(state)" = "$want" ] && return 0
    sleep 0.1
  done
  echo "wine-service.sh: $name did not reach $want within 10 s (now: $(state))" >&2
  return 1
}

stop_service() {
  local now
  now=$(state)
  if [ -n "$now" ] && [ "$now" != STOPPED ]; then
    "$run" sc stop "$name" >/dev/null </dev/null || true
    wait_for STOPPED
  fi
}

case "$action" in
  install)
    [ -f "$exe" ] || { echo "wine-service.sh: $exe not built" >&2; exit 1; }
    display=${3:-Orrinfield VPN Service}
    win_exe=$("$run" winepath -w "$exe" </dev/null | tr -d '\r')
    "$run" sc create "$name" binPath= "\"$win_exe\"" start= demand \
      DisplayName= "$display" </dev/null
    "$run" sc description "$name" \
      "Privileged back end of the Orrinfield VPN client (WireGuard tunnels, OpenVPN staging, VPN activity record)." \
      </dev/null >/dev/null
    ;;
  start)
    "$run" sc start "$name" </dev/null >/dev/null
    wait_for RUNNING
    ;;
  stop)
    stop_service
    ;;
  uninstall)
    if [ -n "$(state)" ]; then
      stop_service
      "$run" sc delete "$name" </dev/null >/dev/null
    fi
    ;;
  status)
    now=$(state)
    echo "${now:-NOT_INSTALLED}"
    ;;
  *)
    echo "$usage" >&2
    exit 2
    ;;
esac

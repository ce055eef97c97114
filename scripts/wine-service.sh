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

me=wine-service.sh
# shellcheck source=wine-sc-lib.sh
source "$(dirname "$0")/wine-sc-lib.sh"

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

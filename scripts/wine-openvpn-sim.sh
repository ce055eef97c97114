#!/usr/bin/env bash
# Installs or removes the simulated OpenVPN for Windows (sim/openvpn) in the Wine prefix of a
# Windows build folder, for the demo and manual runs: the registry values and configuration
# directory (wine-openvpn-setup.sh), openvpn.exe and the interactive service copied to
# C:\Program Files\OpenVPN\bin, and OpenVPNServiceInteractive registered and started.
#
#   wine-openvpn-sim.sh <build-dir> install | uninstall | start | stop | status
#
# The service is registered for demand start (Wine starts auto-start services whenever the prefix
# boots). Waits for a state are bounded (10 s).
set -euo pipefail
usage="usage: wine-openvpn-sim.sh <build-dir> install|uninstall|start|stop|status"
build=$(cd "${1:?$usage}" && pwd)
action=${2:?$usage}
here=$(cd "$(dirname "$0")" && pwd)
run="$build/wine-run"
[ -x "$run" ] || { echo "wine-openvpn-sim.sh: $run missing (configure the build first)" >&2; exit 1; }
name=OpenVPNServiceInteractive
bin_dir='C:\Program Files\OpenVPN\bin'
programs="openvpn.exe openvpnserv_sim.exe"

unix_path() {
  "$run" winepath -u "$1" </dev/null 2>/dev/null | tr -d '\r'
}

me=wine-openvpn-sim.sh
# shellcheck source=wine-sc-lib.sh
source "$(dirname "$0")/wine-sc-lib.sh"

case "$action" in
  install)
    for p in $programs; do
      [ -f "$build/bin/$p" ] || { echo "wine-openvpn-sim.sh: $build/bin/$p not built" >&2; exit 1; }
    done
    bash "$here/wine-openvpn-setup.sh" "$build"
    dir=$(unix_path "$bin_dir")
    [ -n "$dir" ] || { echo "wine-openvpn-sim.sh: cannot map $bin_dir" >&2; exit 1; }
    mkdir -p "$dir"
    stop_service
    for p in $programs; do cp -f "$build/bin/$p" "$dir/$p"; done
    if [ -z "$(state)" ]; then
      "$run" sc create "$name" binPath= "\"$bin_dir\\openvpnserv_sim.exe\" -service" \
        start= demand DisplayName= "OpenVPN Interactive Service (simulator)" </dev/null >/dev/null
    fi
    "$run" sc start "$name" </dev/null >/dev/null
    wait_for RUNNING
    echo "simulated OpenVPN installed; $name is running"
    ;;
  uninstall)
    if [ -n "$(state)" ]; then
      stop_service || true
      "$run" sc delete "$name" </dev/null >/dev/null || true
    fi
    dir=$(unix_path "$bin_dir")
    if [ -n "$dir" ]; then
      for p in $programs; do rm -f "$dir/$p"; done
    fi
    bash "$here/wine-openvpn-setup.sh" "$build" --remove
    echo "simulated OpenVPN removed"
    ;;
  start)
    "$run" sc start "$name" </dev/null >/dev/null
    wait_for RUNNING
    ;;
  stop)
    stop_service
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

#!/usr/bin/env bash
# Runs the real-WireGuard end-to-end test (e2e_wireguard_real.exe) in a network namespace of its
# own: loopback up, IPv6 off, a private /run/wireguard for the wg control sockets, a second
# wireguard-go interface as the peer on 127.0.0.1, and a copy of the build's Wine prefix whose
# wineserver (and so every Wine process, the services included) starts inside the namespace.
# The service, agent and plugin run from a folder of their own, with the bridge to the real
# WireGuard as wireguard.exe and wireguard.dll beside the service.
#
# Exit 77 (skipped) when this machine cannot make tunnel interfaces; everything made is removed.
set -uo pipefail
build=$(cd "${1:?usage: wireguard_real_run.sh <windows-build-dir>}" && pwd)

skip() {
  echo "SKIPPED: real WireGuard test: $*" >&2
  exit 77
}

if [ -z "${LUMET_WG_REAL_NETNS:-}" ]; then
  [ -c /dev/net/tun ] || skip "/dev/net/tun is missing, so no WireGuard interface can be made here"
  for tool in wireguard-go wg ip unshare mount; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/bootstrap.sh installs it)"
  done
  [ "$(id -u)" -eq 0 ] || skip "creating interfaces needs root"
  unshare -n -m true 2>/dev/null || skip "no network namespace can be made here"
  [ -f "$build/wineprefix/system.reg" ] || "$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null
  exec unshare -n -m --propagation private env LUMET_WG_REAL_NETNS=1 bash "$0" "$@"
fi

# Inside the namespace.
set -e
ip link set lo up
echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6
echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6
mkdir -p /run/wireguard
mount -t tmpfs -o mode=0700 tmpfs /run/wireguard
# sysfs shows the interfaces of the namespace that mounted it: the test looks at this one's.
mount -t sysfs sysfs /sys

work=$(mktemp -d /tmp/lumet-wg-real.XXXXXX)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
peer_if=lumetwgpeer
tunnel_if=orrinfieldwireg  # the tunnel "orrinfieldwireguard" cut to Linux's 15 bytes

cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  ip link del dev "$peer_if" 2>/dev/null || true
  ip link del dev "$tunnel_if" 2>/dev/null || true
  umount /run/wireguard 2>/dev/null || true
  umount /sys 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cp -a "$build/wineprefix" "$WINEPREFIX"
rm -f "$WINEPREFIX"/*.lock
run="$work/bin"
mkdir -p "$run"
cp "$build"/bin/*.dll "$build/bin/OrrinfieldVPNService.exe" "$build/bin/OrrinfieldVPNAgent.exe" \
  "$build/bin/e2e_wireguard_real.exe" "$run/"
rm -f "$run/wireguard_noconfig.dll"
cp "$build/bin/wireguard_bridge/wireguard.exe" "$build/bin/wireguard_bridge/wireguard.dll" "$run/"

umask 077
tunnel_key=$(wg genkey)
tunnel_pub=$(printf '%s\n' "$tunnel_key" | wg pubkey)
peer_key=$(wg genkey)
peer_pub=$(printf '%s\n' "$peer_key" | wg pubkey)
printf '%s\n' "$peer_key" >"$work/peer.key"
tunnel_port=51901
peer_port=51902

# The peer: keepalive every second, so a handshake follows as soon as our side is up.
wireguard-go "$peer_if" >/dev/null 2>&1
wg set "$peer_if" private-key "$work/peer.key" listen-port "$peer_port" \
  peer "$tunnel_pub" endpoint "127.0.0.1:$tunnel_port" allowed-ips 10.77.0.2/32 \
  persistent-keepalive 1
ip link set dev "$peer_if" up

set +e
LUMET_WG_REAL_PRIVATE_KEY="$tunnel_key" LUMET_WG_REAL_PEER_PUBLIC_KEY="$peer_pub" \
  LUMET_WG_REAL_LISTEN_PORT="$tunnel_port" LUMET_WG_REAL_PEER_PORT="$peer_port" \
  LUMET_WG_REAL_INTERFACE="$tunnel_if" \
  timeout 180 "$WINE64" "$run/e2e_wireguard_real.exe" --gtest_brief=0
rc=$?
set -e

echo "-- peer after the test:"
wg show "$peer_if" | sed -e '/private key/d'
if ip link show dev "$tunnel_if" >/dev/null 2>&1; then
  echo "FAILED: interface $tunnel_if outlived the test" >&2
  rc=1
fi
# The private key must be nowhere on the Windows side once the tunnel is down: not in a log, not
# in a left-over configuration or staging file.
if leaks=$(grep -rlF -- "$tunnel_key" "$WINEPREFIX/drive_c" "$run" 2>/dev/null) && [ -n "$leaks" ]; then
  echo "FAILED: the tunnel's private key was found in: $leaks" >&2
  rc=1
fi
bridge_log=$(find "$WINEPREFIX/drive_c" -name lumet-wireguard-bridge.log 2>/dev/null | head -1)
if [ -n "$bridge_log" ]; then
  echo "-- bridge log:"
  cat "$bridge_log"
fi
exit "$rc"

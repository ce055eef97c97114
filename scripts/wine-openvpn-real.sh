#!/usr/bin/env bash
# Runs one Windows program (a test or the benchmark) against Debian's real OpenVPN, inside a
# network namespace of its own:
#
#   wine-openvpn-real.sh <build-dir> <program.exe> [arguments...]
#
# In a fresh namespace (only "lo", brought up), it makes a throwaway PKI (EC keys), starts an
# OpenVPN server on 127.0.0.1 (UDP) whose user name and password are checked by a script and which
# pushes no routes, and runs the program under a copy of the build's Wine prefix, so that every Wine
# process (the service manager's too) and every OpenVPN lives in the namespace. The program learns
# where things are from the environment (ORRINFIELD_REAL_OPENVPN_*). Everything made is removed
# on the way out. Exit code: the program's; 77 (counted as skipped) without /dev/net/tun, root or
# /usr/sbin/openvpn.
#
# With ORRINFIELD_REAL_OPENVPN_BARE_RUNS=N it first times N bare client runs (openvpn started to
# "Initialization Sequence Completed") and passes them on as ORRINFIELD_REAL_OPENVPN_BARE_MS.
set -euo pipefail

skip() {
  echo "######## SKIPPED: real OpenVPN test: $* ########" >&2
  exit 77
}

if [ "${1:-}" != "--inside" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 <build-dir> <program.exe> [args...]" >&2; exit 2; }
  [ -c /dev/net/tun ] || skip "/dev/net/tun is missing; no TUN device can be made"
  [ "$(id -u)" = 0 ] || skip "needs root (a network namespace and TUN devices)"
  [ -x /usr/sbin/openvpn ] || skip "/usr/sbin/openvpn is not installed (scripts/bootstrap.sh)"
  command -v unshare >/dev/null && command -v ip >/dev/null && command -v openssl >/dev/null ||
    skip "unshare, ip or openssl missing"
  exec unshare -n -- bash "$0" --inside "$@"
fi
shift

build=$(cd "$1" && pwd)
program=$2
shift 2
ip link set lo up

work=$(mktemp -d /tmp/orrinfield-real-openvpn.XXXXXX)
server_pid=
prefix="$work/prefix"
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
cleanup() {
  set +e
  if [ -f "$prefix/system.reg" ]; then
    WINEPREFIX="$prefix" "$WINESERVER" -k 2>/dev/null
    WINEPREFIX="$prefix" timeout 20 "$WINESERVER" -w 2>/dev/null
  fi
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  # Clients left by a failed test (the bridge's shell ends its own, but not when killed first).
  for pid_file in "$work"/bare-*.pid; do
    [ -f "$pid_file" ] && kill "$(cat "$pid_file")" 2>/dev/null
  done
  sleep 0.2
  rm -rf "$work"
}
trap cleanup EXIT

# ---- Throwaway PKI: one CA, one server certificate (clients log in with user name/password).
pki="$work/pki"
mkdir -p "$pki"
(
  cd "$pki"
  umask 077
  openssl ecparam -name prime256v1 -genkey -noout -out ca.key 2>/dev/null
  openssl req -new -x509 -key ca.key -out ca.crt -days 2 -subj "/CN=Orrinfield Test CA" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null
  openssl ecparam -name prime256v1 -genkey -noout -out server.key 2>/dev/null
  openssl req -new -key server.key -out server.csr -subj "/CN=orrinfield-test-server" 2>/dev/null
  printf '%s\n' "basicConstraints=CA:false" "keyUsage=critical,digitalSignature,keyAgreement" \
    "extendedKeyUsage=serverAuth" >server.ext
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt \
    -days 2 -extfile server.ext 2>/dev/null
)

# ---- The accepted credentials: random per run, handed to the program, checked by a script
# that never prints them.
user="real-user-$(openssl rand -hex 4)"
password="Real-$(openssl rand -hex 12)"
umask 077
printf '%s\n%s\n' "$user" "$password" >"$work/accepted"
cat >"$work/check-credentials.sh" <<EOF
#!/bin/sh
# \$1: a file holding the user name and the password, one a line.
exec cmp -s "\$1" "$work/accepted"
EOF
chmod 700 "$work/check-credentials.sh"
umask 022

port=1194
silent_port=1195
cat >"$work/server.conf" <<EOF
local 127.0.0.1
port $port
proto udp
dev tun
topology subnet
server 10.213.77.0 255.255.255.0
ca $pki/ca.crt
cert $pki/server.crt
key $pki/server.key
dh none
verify-client-cert none
username-as-common-name
script-security 2
auth-user-pass-verify $work/check-credentials.sh via-file
tmp-dir $work
data-ciphers AES-256-GCM:AES-128-GCM
keepalive 10 60
verb 3
EOF

openvpn --config "$work/server.conf" --writepid "$work/server.pid" --log "$work/server.log" \
  --daemon orrinfield-test-server
for _ in $(seq 1 150); do
  grep -q "Initialization Sequence Completed" "$work/server.log" 2>/dev/null && break
  sleep 0.1
done
server_pid=$(cat "$work/server.pid" 2>/dev/null || true)
if ! grep -q "Initialization Sequence Completed" "$work/server.log" 2>/dev/null; then
  echo "OpenVPN server did not start:" >&2
  cat "$work/server.log" >&2 || true
  exit 1
fi

# ---- Optional: bare client runs for the benchmark.
bare_ms=
runs=${ORRINFIELD_REAL_OPENVPN_BARE_RUNS:-0}
if [ "$runs" -gt 0 ]; then
  printf '%s\n' "client" "dev tun" "proto udp" "remote 127.0.0.1 $port" "nobind" \
    "remote-cert-tls server" "auth-user-pass $work/accepted" "auth-nocache" "verb 3" \
    "ca $pki/ca.crt" >"$work/bare.conf"
  for i in $(seq 1 "$runs"); do
    log="$work/bare-$i.log"
    start=$(date +%s%N)
    openvpn --config "$work/bare.conf" --writepid "$work/bare-$i.pid" --log "$log" --daemon &
    done_ms=
    for _ in $(seq 1 1000); do
      if grep -q "Initialization Sequence Completed" "$log" 2>/dev/null; then
        done_ms=$((($(date +%s%N) - start) / 1000000))
        break
      fi
      sleep 0.01
    done
    wait || true
    # OpenVPN removes its pid file when it exits: read it once.
    bare_pid=$(cat "$work/bare-$i.pid" 2>/dev/null || true)
    if [ -n "$bare_pid" ]; then
      kill "$bare_pid" 2>/dev/null || true
      for _ in $(seq 1 100); do
        kill -0 "$bare_pid" 2>/dev/null || break
        sleep 0.05
      done
    fi
    bare_ms="$bare_ms${bare_ms:+,}${done_ms:-timeout}"
  done
fi

# ---- A copy of the build's prefix (its system folder shared through hard links: nothing writes
# there), so that this namespace gets a wineserver of its own.
template="$build/wineprefix"
[ -f "$template/system.reg" ] || "$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null
mkdir -p "$prefix/drive_c"
for entry in "$template"/* "$template"/.[!.]*; do
  name=$(basename "$entry")
  case "$name" in
    drive_c | wineserver | "*" | ".[!.]*") ;;
    *) cp -a "$entry" "$prefix/" ;;
  esac
done
for entry in "$template"/drive_c/*; do
  name=$(basename "$entry")
  if [ "$name" = windows ]; then
    cp -al "$entry" "$prefix/drive_c/"
  else
    cp -a "$entry" "$prefix/drive_c/"
  fi
done
# Files the build's own tests left (logs, staged profiles) are not this run's.
rm -rf "$prefix/drive_c/ProgramData/Orrinfield" "$prefix/drive_c/users/root/AppData/Local/Orrinfield"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export ORRINFIELD_REAL_OPENVPN_DIR="$work" ORRINFIELD_REAL_OPENVPN_PORT="$port"
export ORRINFIELD_REAL_OPENVPN_SILENT_PORT="$silent_port" ORRINFIELD_REAL_OPENVPN_USER="$user"
export ORRINFIELD_REAL_OPENVPN_PASSWORD="$password" ORRINFIELD_REAL_OPENVPN_BARE_MS="$bare_ms"
"$WINESERVER" -p 60 >/dev/null 2>&1 </dev/null
/usr/lib/wine/wine64 cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
set +e
(cd "$build/bin" && timeout 600 /usr/lib/wine/wine64 "$program" "$@")
code=$?
set -e
if [ "$code" != 0 ]; then
  echo "---- OpenVPN server log" >&2
  tail -n 60 "$work/server.log" >&2 || true
  for log in "$work"/bridge.log; do
    [ -f "$log" ] && { echo "---- OpenVPN client logs" >&2; tail -n 150 "$log" >&2; }
  done
fi
exit "$code"

#!/usr/bin/env bash
# The installer under Wine's msiexec, in a Wine prefix of its own (a copy of a template prefix that
# is initialised once per build folder), so that nothing collides with the build's shared prefix:
#
#   1. install OrrinfieldVPN-<version>-x64.msi: the service runs from Program Files, registered as
#      own process, automatic start, LocalSystem, with its description; lumetctl health answers
#      through it; its data folders and log are in place;
#   2. upgrade to a second package (next patch version, a service program with other bytes): one
#      service, the new program running in a new process, the activity record still there;
#   3. bring a WireGuard tunnel up through the service (wireguard.exe is the simulator), then
#      uninstall: no service, no tunnel service, no program folder, no activity record; the logs stay;
#   4. install again over ProgramData\Orrinfield planted as a link: the service runs and answers
#      but writes nothing through the link, and the uninstall neither.
#
# Every msiexec exits 0 and its verbose log shows no error. Every wait is bounded.
#
#   installer_test.sh <source-dir> <build-dir>
set -euo pipefail
src=$(cd "${1:?usage: installer_test.sh <source-dir> <build-dir>}" && pwd)
build=$(cd "${2:?usage: installer_test.sh <source-dir> <build-dir>}" && pwd)

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

fail() {
  echo "installer_test: FAIL: $*" >&2
  exit 1
}
step() { printf '\n== %s\n' "$*"; }

# The template: a freshly initialised prefix, made once (about 12 s) and copied for every run.
template="$build/wineprefix-installer-template"
(
  flock 9
  if [ ! -f "$template/system.reg" ]; then
    rm -rf "$template"
    WINEPREFIX="$template" timeout 120 "$WINE64" wineboot -i >/dev/null 2>&1 </dev/null
    WINEPREFIX="$template" timeout 60 "$WINESERVER" -w
  fi
) 9>"$template.lock"

work=$(mktemp -d "$build/installer-test.XXXXXX")
export WINEPREFIX="$work/prefix"
log_dir="$WINEPREFIX/drive_c/ProgramData/Orrinfield/vpn/logs"
cleanup() {
  local rc=$?
  "$WINESERVER" -k 2>/dev/null || true
  if ((rc != 0)); then
    # The logs, not the prefix (hundreds of MB), are kept for inspection.
    local kept="$build/installer-test-failed"
    rm -rf "$kept"
    mkdir -p "$kept"
    cp "$work"/*.log* "$kept/" 2>/dev/null || true
    cp -r "$log_dir" "$kept/programdata-logs" 2>/dev/null || true
    echo "installer_test: logs kept in $kept" >&2
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
cp -a "$template" "$WINEPREFIX"
# One server for the whole run (no prefix start-up cost per program); killed on exit.
"$WINESERVER" -p 30 >/dev/null 2>&1 </dev/null

# Windows programs: standard input closed, bounded, carriage returns stripped from their output.
win() { timeout 90 "$WINE64" "$@" </dev/null | tr -d '\r'; }
winpath() { win winepath -w "$1"; }

drive_c="$WINEPREFIX/drive_c"
program_dir="$drive_c/Program Files/Orrinfield VPN"
service_key='HKLM\System\CurrentControlSet\Services\OrrinfieldVPNService'
tunnel_service='WireGuardTunnel$orrinfieldwireguard'

service_state() {
  win sc query "$1" 2>/dev/null | awk '$1 == "STATE" { print $4; exit }' || true
}
wait_state() {
  local name=$1 want=$2 i
  # Generous: CI runs this beside other Wine tests on two cores.
  for i in $(seq 1 150); do
    [ "$(service_state "$name")" = "$want" ] && return 0
    sleep 0.2
  done
  fail "$name did not reach $want within 30 s (now: $(service_state "$name"))"
}
reg_value() {
  win reg query "$1" /v "$2" 2>/dev/null | awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit }'
}

# msiexec with a verbose log; both its exit code and its log must be clean.
msi() {
  local action=$1 package=$2 log=$3 rc=0
  timeout 180 "$WINE64" msiexec "$action" "$(winpath "$package")" /qn /l*v "$(winpath "$log")" \
    </dev/null >"$log.out" 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || { cat "$log" "$log.out" >&2 || true; fail "msiexec $action exited $rc"; }
  [ -s "$log" ] || fail "msiexec $action wrote no log"
  # A failed action ends with "Return value 3"; error messages and failed steps say so in words.
  if grep -aniE 'return value 3|error|failed' "$log" >&2; then
    fail "msiexec $action logged an error ($log)"
  fi
}

lumetctl() { win "$build/bin/lumetctl.exe" "$@"; }
# Versions of the Orrinfield VPN products registered for Add/Remove Programs, one per line.
installed_versions() {
  win reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s |
    awk '/^HKEY_/ { product = 0 }
         $1 == "DisplayName" { product = (NF == 4 && $3 " " $4 == "Orrinfield VPN") }
         $1 == "DisplayVersion" && product { print $3 }'
}
# "<pid>-0x<random>" of the service process answering now.
service_generation() {
  lumetctl --json service-health | sed -n 's/.*"generationText":"\([0-9]*-0x[0-9A-F]*\)".*/\1/p'
}

# Ends the agent the plugin started (its generation text starts with its process id).
end_agent() {
  local pid
  pid=$(lumetctl --json agent-health | sed -n 's/.*"generationText":"\([0-9]*\)-0x.*/\1/p')
  [ -n "$pid" ] && win taskkill /PID "$pid" /F >/dev/null 2>&1 || true
}

version=$(sed -n 's/^project(OrrinfieldVPN VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no VERSION in project() of $src/CMakeLists.txt"
next_version="${version%.*}.$((${version##*.} + 1))"

step "Packaging $version and $next_version"
bash "$src/scripts/package.sh" --build-dir "$build" --output "$work"
v1="$work/OrrinfieldVPN-$version-x64.msi"
# The second package carries a service program with other bytes (a tail the loader ignores), so
# that the upgrade visibly replaces the program.
mkdir -p "$work/next/bin"
cp "$build/bin/OrrinfieldVPNService.exe" "$build/bin/wireguard.exe" "$build/bin/wireguard.dll" \
  "$work/next/bin/"
printf 'orrinfield installer test: %s\n' "$next_version" >>"$work/next/bin/OrrinfieldVPNService.exe"
bash "$src/scripts/package.sh" --build-dir "$work/next" --version "$next_version" --output "$work"
v2="$work/OrrinfieldVPN-$next_version-x64.msi"
[ -f "$v1" ] && [ -f "$v2" ] || fail "packages missing"

export ORRINFIELD_AGENT_IDLE_SECONDS=20

step "Install $version"
msi /i "$v1" "$work/install.log"
wait_state OrrinfieldVPNService RUNNING
[ -f "$program_dir/OrrinfieldVPNService.exe" ] || fail "service program not in Program Files"
[ -f "$program_dir/wireguard.exe" ] && [ -f "$program_dir/wireguard.dll" ] ||
  fail "wireguard.exe/wireguard.dll not beside the service"
image=$(reg_value "$service_key" ImagePath)
# Windows Installer registers the key file's full path; accept it with or without quotes.
[ "${image//\"/}" = 'C:\Program Files\Orrinfield VPN\OrrinfieldVPNService.exe' ] ||
  fail "ImagePath is '$image'"
[ "$(reg_value "$service_key" Start)" = 0x2 ] || fail "start type is not automatic"
[ "$(reg_value "$service_key" Type)" = 0x10 ] || fail "service type is not own process"
[ "$(reg_value "$service_key" ObjectName)" = LocalSystem ] || fail "account is not LocalSystem"
[ "$(reg_value "$service_key" DisplayName)" = 'Orrinfield VPN Service' ] || fail "display name"
reg_value "$service_key" Description | grep -q 'Orrinfield VPN client' || fail "no description"
[ "$(installed_versions)" = "$version" ] || fail "installed products: '$(installed_versions)'"
echo "registered: $image, automatic, LocalSystem"

step "Health through the installed service"
lumetctl health | tee "$work/health.txt"
grep -qi 'service' "$work/health.txt" || fail "no service health"
generation1=$(service_generation)
[ -n "$generation1" ] || fail "the service did not answer service-health"
echo "service generation $generation1"
[ -f "$log_dir/service.log" ] || fail "no service log"
win reg query 'HKLM\SOFTWARE\Orrinfield VPN' /v Activity >/dev/null || fail "no activity record"

# The agent holds a link to the service, which then stops only when that link has been idle for
# 15 s. End it here to keep the upgrade quick; the uninstall below runs with it connected.
end_agent

step "Upgrade to $next_version"
msi /i "$v2" "$work/upgrade.log"
wait_state OrrinfieldVPNService RUNNING
cmp -s "$program_dir/OrrinfieldVPNService.exe" "$work/next/bin/OrrinfieldVPNService.exe" ||
  fail "the upgrade did not replace the service program"
services=$(win reg query 'HKLM\System\CurrentControlSet\Services' | grep -ci 'OrrinfieldVPN' || true)
[ "$services" -eq 1 ] || fail "$services OrrinfieldVPN services registered after the upgrade"
generation2=$(service_generation)
[ -n "$generation2" ] && [ "$generation2" != "$generation1" ] ||
  fail "no new service process after the upgrade ($generation1 -> $generation2)"
echo "service generation $generation2"
win reg query 'HKLM\SOFTWARE\Orrinfield VPN' /v Activity >/dev/null ||
  fail "activity record lost in the upgrade"
[ "$(installed_versions)" = "$next_version" ] ||
  fail "installed products after the upgrade: '$(installed_versions)'"

step "WireGuard tunnel up through the installed service"
config="$work/installer-test.conf"
cat >"$config" <<CONF
[Interface]
PrivateKey = $(head -c 32 /dev/urandom | base64)
Address = 10.77.0.2/32

[Peer]
PublicKey = $(head -c 32 /dev/urandom | base64)
AllowedIPs = 10.77.1.0/24
Endpoint = 192.0.2.7:51820
CONF
lumetctl wg-up "$(winpath "$config")"
rm -f "$config"
[ "$(service_state "$tunnel_service")" = RUNNING ] || fail "tunnel service not running"
# The tunnel service runs the wireguard.exe installed beside the service.
reg_value "HKLM\\System\\CurrentControlSet\\Services\\$tunnel_service" ImagePath |
  grep -qF 'C:\Program Files\Orrinfield VPN\wireguard.exe' || fail "tunnel service runs another wireguard.exe"

step "Uninstall (the agent still connected to the service)"
msi /x "$v2" "$work/uninstall.log"
[ -z "$(service_state OrrinfieldVPNService)" ] || fail "OrrinfieldVPNService still registered"
[ -z "$(service_state "$tunnel_service")" ] || fail "the WireGuard tunnel service is left behind"
[ ! -e "$program_dir" ] || fail "program folder left behind: $(ls -A "$program_dir")"
if win reg query 'HKLM\SOFTWARE\Orrinfield VPN' >/dev/null 2>&1; then
  fail "activity record key left behind"
fi
[ -z "$(installed_versions)" ] || fail "product still registered: '$(installed_versions)'"
[ -f "$log_dir/service.log" ] || fail "the service log should stay"
[ ! -e "$drive_c/ProgramData/Orrinfield/vpn/wireguard/orrinfieldwireguard.conf" ] ||
  fail "WireGuard configuration file left behind"
grep -q 'uninstall clean-up finished exit=0' "$log_dir/service.log" ||
  fail "the uninstall clean-up did not report success"
step "Install over a planted data folder (a link made before the service ever ran)"
# A user who creates ProgramData\Orrinfield first, as a link to a folder of the user's choice,
# must not get the LocalSystem service to create folders or write its log there.
rm -rf "$drive_c/ProgramData/Orrinfield"
mkdir -p "$work/planted"
ln -s "$work/planted" "$drive_c/ProgramData/Orrinfield"
msi /i "$v2" "$work/install-planted.log"
wait_state OrrinfieldVPNService RUNNING
lumetctl service-health >/dev/null || fail "the service does not answer without its log file"
# The agent and the plugin (the user's own programs) may write their logs there; the service not.
[ -z "$(find "$work/planted" -iname service.log)" ] || fail "the service wrote its log through the link"
msi /x "$v2" "$work/uninstall-planted.log"
[ -z "$(service_state OrrinfieldVPNService)" ] || fail "OrrinfieldVPNService still registered"
[ -z "$(find "$work/planted" -iname service.log)" ] || fail "the uninstall wrote through the link"
rm -f "$drive_c/ProgramData/Orrinfield"

step "Installer test passed"

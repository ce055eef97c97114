#!/usr/bin/env bash
# Makes the Wine prefix of a Windows build folder look like a machine with OpenVPN for Windows
# installed, for end-to-end runs and the demo: the HKLM "SOFTWARE\OpenVPN" values "config_dir"
# (with its trailing backslash) and "exe_path", and the configuration directory under Program
# Files. With --remove, takes exactly that away again (the configuration directory only when it
# holds nothing but the service's own, then empty, staging folder).
#
#   wine-openvpn-setup.sh <build-dir> [--remove]
set -euo pipefail
usage="usage: wine-openvpn-setup.sh <build-dir> [--remove]"
build=$(cd "${1:?$usage}" && pwd)
mode=${2:-}
run="$build/wine-run"
[ -x "$run" ] || { echo "wine-openvpn-setup.sh: $run missing (configure the build first)" >&2; exit 1; }

key='HKLM\SOFTWARE\OpenVPN'
program_files='C:\Program Files'
openvpn_dir="$program_files\\OpenVPN"
config_dir="$openvpn_dir\\config\\"
exe_path="$openvpn_dir\\bin\\openvpn.exe"

# Windows path -> path on this machine, through the prefix's own drive mapping.
unix_path() {
  "$run" winepath -u "$1" </dev/null 2>/dev/null | tr -d '\r'
}

reg() {
  "$run" reg "$@" </dev/null >/dev/null 2>&1
}

case "$mode" in
  "")
    # /reg:64: the values live in the 64-bit view, where the service reads them.
    reg add "$key" /v config_dir /t REG_SZ /d "$config_dir" /f /reg:64 ||
      { echo "wine-openvpn-setup.sh: writing $key\\config_dir failed" >&2; exit 1; }
    reg add "$key" /v exe_path /t REG_SZ /d "$exe_path" /f /reg:64 ||
      { echo "wine-openvpn-setup.sh: writing $key\\exe_path failed" >&2; exit 1; }
    dir=$(unix_path "$config_dir")
    [ -n "$dir" ] || { echo "wine-openvpn-setup.sh: cannot map $config_dir" >&2; exit 1; }
    mkdir -p "$dir" "$(unix_path "$openvpn_dir\\bin")"
    # Only administrators may write there, as under Program Files on Windows.
    chmod 755 "$dir"
    echo "OpenVPN registry values and $config_dir are in place"
    ;;
  --remove)
    reg delete "$key" /v config_dir /f /reg:64 || true
    reg delete "$key" /v exe_path /f /reg:64 || true
    # The key itself only when nothing else is left in it.
    if ! "$run" reg query "$key" /reg:64 </dev/null 2>/dev/null | tr -d '\r' | grep -q 'REG_'; then
      reg delete "$key" /f /reg:64 || true
    fi
    dir=$(unix_path "$config_dir")
    if [ -n "$dir" ] && [ -d "$dir" ]; then
      rmdir "$dir/orrinfield" 2>/dev/null || true
      rmdir "$dir" 2>/dev/null || true
      rmdir "$(unix_path "$openvpn_dir\\bin")" 2>/dev/null || true
      rmdir "$(unix_path "$openvpn_dir")" 2>/dev/null || true
    fi
    echo "OpenVPN registry values removed"
    ;;
  *)
    echo "$usage" >&2
    exit 2
    ;;
esac

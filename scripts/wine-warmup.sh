#!/usr/bin/env bash
# Prepares (or, with --stop, ends) the Wine prefix of a Windows build folder.
#
# Starting a wineserver that stays up and running one throwaway program first means no test pays
# for prefix creation and no system process inherits (and holds open) a test's standard output.
set -euo pipefail
build=${1:?usage: wine-warmup.sh <build-dir> [--stop]}
build=$(cd "$build" && pwd)
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver

if [ "${2:-}" = "--stop" ]; then
  "$WINESERVER" -k 2>/dev/null || true
  exit 0
fi

# A server left from an earlier run (persistent, or still serving) would make the wait below
# last until it idles out: end it first. Then create the prefix when missing, and let that
# short-lived server go away so that the persistent one below is the only server of this prefix.
"$WINESERVER" -k 2>/dev/null || true
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
timeout 60 "$WINESERVER" -w || true
"$WINESERVER" -p 120 >/dev/null 2>&1 </dev/null
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null || true

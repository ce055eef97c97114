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

# Creates the prefix when missing, then lets that short-lived server go away so that the
# persistent one below is the only server of this prefix.
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
"$WINESERVER" -w
"$WINESERVER" -p 120
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null || true

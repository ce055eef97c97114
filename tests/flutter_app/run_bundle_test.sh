#!/usr/bin/env bash
# Builds the miniature Flutter application from its own CMake tree (the plugin package through
# its .plugin_symlinks entry, the application's C++17 no-exception standard settings), installs
# it into a bundle folder, checks that the bundle holds what ships, and runs it under Wine with
# OrrinfieldVPNService registered with the service manager (the WireGuard simulator beside it):
# health with the agent started from the bundle, a WireGuard connect, status and disconnect,
# events, and a clean exit after the engine's teardown. Also checks that the throwaway private
# key reached no log.
#
#   run_bundle_test.sh <source-dir> <windows-build-dir> [build|run|all]
#
# "build" configures, builds, installs and checks the bundle; "run" runs the installed bundle
# (CTest runs the two as separate tests, so that only the run holds the machine-wide lock).
# Needs the Windows build done (flutter_windows.dll, the service and the simulator in bin/).
set -euo pipefail
usage="usage: run_bundle_test.sh <source-dir> <windows-build-dir> [build|run|all]"
src=$(cd "${1:?$usage}" && pwd)
build=$(cd "${2:?$usage}" && pwd)
mode=${3:-all}
case "$mode" in build | run | all) ;; *) echo "$usage" >&2; exit 2 ;; esac
app_build="$build/flutter_app"
bundle="$app_build/bundle"
run="$build/wine-run"
logs="$build/wineprefix/drive_c/ProgramData/Orrinfield/vpn/logs"
say() { printf '== %s\n' "$*"; }

if [ "$mode" != run ]; then
  say "configure and build the application (mingw-w64, the application's own CMake tree)"
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # Paths inside the source tree hash the same from any clone.
    export CCACHE_BASEDIR="$src"
  fi
  cmake -S "$src/tests/flutter_app/windows" -B "$app_build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DFLUTTER_LITE_BIN="$build/bin" "${launcher[@]}" >/dev/null
  cmake --build "$app_build" -j "$(nproc)"

  say "install the bundle"
  rm -rf "$bundle"
  cmake --install "$app_build" --prefix "$bundle" >/dev/null
  expected="OrrinfieldVPNAgent.exe flutter_windows.dll lumet_vpn_mini_app.exe lumet_windows_vpn_plugin.dll"
  actual=$(cd "$bundle" && ls | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$actual" != "$expected" ]; then
    echo "bundle holds: $actual" >&2
    echo "expected:     $expected" >&2
    exit 1
  fi
  echo "bundle: $actual"
fi
[ "$mode" = build ] && exit 0
[ -x "$bundle/lumet_vpn_mini_app.exe" ] || { echo "no bundle in $bundle: run the build step" >&2; exit 1; }

workdir=$(mktemp -d)
end_agents() {
  "$run" taskkill /F /IM OrrinfieldVPNAgent.exe </dev/null >/dev/null 2>&1 || true
}
cleanup() {
  set +e
  end_agents
  bash "$src/scripts/wine-service.sh" "$build" uninstall >/dev/null 2>&1
  # Left behind only if the run failed half-way.
  "$run" sc stop 'WireGuardTunnel$orrinfieldwireguard' </dev/null >/dev/null 2>&1
  "$run" sc delete 'WireGuardTunnel$orrinfieldwireguard' </dev/null >/dev/null 2>&1
  rm -rf "$workdir"
}
trap cleanup EXIT

say "register and start the service"
# An agent of an earlier run would answer in place of the one the bundle must start.
end_agents
bash "$src/scripts/wine-service.sh" "$build" uninstall >/dev/null 2>&1 || true
bash "$src/scripts/wine-service.sh" "$build" install >/dev/null
bash "$src/scripts/wine-service.sh" "$build" start

say "run the application"
config="$workdir/app-wireguard.conf"
# shellcheck source=scripts/sample-wireguard-config.sh
. "$src/scripts/sample-wireguard-config.sh"
write_sample_wireguard_config "$config"
key=$sample_private_key
win_config=$("$run" winepath -w "$config" </dev/null | tr -d '\r')
# The agent the application starts ends by itself soon after.
export ORRINFIELD_AGENT_IDLE_SECONDS=20
set +e
timeout 300 "$run" "$bundle/lumet_vpn_mini_app.exe" "$win_config" 4 </dev/null \
  >"$workdir/out.txt" 2>"$workdir/err.txt"
rc=$?
set -e
rm -f "$config"
cat "$workdir/out.txt"
failed=0
if [ "$rc" -ne 0 ]; then
  echo "the application exited with $rc" >&2
  sed 's/^/stderr: /' "$workdir/err.txt" | tail -40 >&2
  failed=1
fi
for needle in "Messenger must reference a running engine" "Unhandled" "FATAL"; do
  if grep -q "$needle" "$workdir/out.txt" "$workdir/err.txt"; then
    echo "the application's output mentions '$needle'" >&2
    failed=1
  fi
done
grep -q "^all steps passed" "$workdir/out.txt" || failed=1
# Secrets: the private key must reach no log of the service, the agent or the plugin.
if [ -n "$(ls "$logs"/*.log 2>/dev/null)" ] && grep -qF "$key" "$logs"/*.log; then
  echo "the private key was written to a log" >&2
  failed=1
fi
grep -qF "$key" "$workdir/out.txt" "$workdir/err.txt" && { echo "the private key was printed" >&2; failed=1; }
exit "$failed"

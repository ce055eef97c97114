#!/usr/bin/env bash
# Builds both presets and runs every test: the native core suite (ASan/UBSan), the fuzz targets
# for a bounded time, and the Windows suite under Wine. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh

jobs=$(nproc)

echo "== core: native build with sanitizers and fuzzers"
cmake --preset core >/dev/null
cmake --build --preset core -j "$jobs"
ctest --preset core -j "$jobs"

echo "== windows: mingw-w64 cross build, tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
bash scripts/wine-warmup.sh build/windows
trap 'bash scripts/wine-warmup.sh build/windows --stop' EXIT
# A test that fails is run once more before it counts: under load, Wine now and then leaves a
# finished test process hanging at exit until its time-out. The first failure stays in the log.
ctest --preset windows -j "$((jobs * 2))" --repeat until-pass:2

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
ctest --preset windows -j "$((jobs * 2))"

#!/usr/bin/env bash
# Builds the Windows installer OrrinfieldVPN-<version>-x64.msi with wixl from installer/OrrinfieldVPN.wxs.
#
#   package.sh [--build-dir DIR] [--version A.B.C] [--output DIR]
#
#   --build-dir DIR  Windows build folder holding bin/OrrinfieldVPNService.exe (default build/windows)
#   --version A.B.C  package version (default: the VERSION of project() in CMakeLists.txt)
#   --output DIR     where the .msi goes (default: the build folder)
#
# wireguard.exe and wireguard.dll come from ORRINFIELD_WIREGUARD_DIR when it is set (a folder holding
# the real WireGuard for Windows amd64 binaries); otherwise from the build folder, where they are the
# test simulators (sim/wireguard), which is only good for tests and the demo. Prints the package path.
# Signing the package and the programs is a release step outside this repository.
set -euo pipefail
caller_dir=$PWD
cd "$(dirname "$0")/.."

build=build/windows
version=""
output=""
while (($#)); do
  case "$1" in
    --build-dir) build=${2:?--build-dir needs a folder}; shift ;;
    --version) version=${2:?--version needs a value}; shift ;;
    --output) output=${2:?--output needs a folder}; shift ;;
    *) echo "usage: package.sh [--build-dir DIR] [--version A.B.C] [--output DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$version" ]; then
  version=$(sed -n 's/^project(OrrinfieldVPN VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
fi
# Windows Installer compares the first three fields only, each within 255.255.65535.
if ! [[ "$version" =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  echo "package.sh: version '$version' is not A.B.C within 255.255.65535" >&2
  exit 2
fi

command -v wixl >/dev/null || { echo "package.sh: wixl missing (run scripts/bootstrap.sh)" >&2; exit 1; }
# Folders on the command line are relative to where the script was called from.
in_caller_dir() { case "$1" in /*) echo "$1" ;; *) echo "$caller_dir/$1" ;; esac; }
build=$(cd "$(in_caller_dir "$build")" && pwd)
output=$(in_caller_dir "${output:-$build}")
mkdir -p "$output"
output=$(cd "$output" && pwd)
wireguard_dir=$(in_caller_dir "${ORRINFIELD_WIREGUARD_DIR:-$build/bin}")

service_exe="$build/bin/OrrinfieldVPNService.exe"
for file in "$service_exe" "$wireguard_dir/wireguard.exe" "$wireguard_dir/wireguard.dll"; do
  [ -f "$file" ] || { echo "package.sh: $file is missing; build first" >&2; exit 1; }
done

msi="$output/OrrinfieldVPN-$version-x64.msi"
wxs="$PWD/installer/OrrinfieldVPN.wxs"
# wixl finds sources relative to the folder it runs in: stage exactly the packaged files there.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$service_exe" "$wireguard_dir/wireguard.exe" "$wireguard_dir/wireguard.dll" "$stage/"
log="$stage/wixl.log"
# wixl only warns about an attribute or element it cannot express; such a line means the package
# would silently lack part of the source, so it fails the build.
if ! (cd "$stage" && wixl --arch x64 --output "$msi" --define "Version=$version" "$wxs") \
  2>"$log"; then
  cat "$log" >&2
  exit 1
fi
if [ -s "$log" ]; then
  cat "$log" >&2
  rm -f "$msi"
  echo "package.sh: wixl warned; the package would miss part of installer/OrrinfieldVPN.wxs" >&2
  exit 1
fi
echo "$msi"

#!/usr/bin/env bash
# Installs what the build and tests need (only when something is missing) and
# builds the project with CMake.
#   scripts/setup.sh BUILD_DIR [extra cmake arguments...]
set -euo pipefail

PACKAGES=(g++ make cmake ninja-build pkg-config libcurl4-openssl-dev libxml2-dev libssl-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev openssl procps
          libsqlite3-dev libcli11-dev qt6-base-dev libgl-dev xvfb xauth
          libprotobuf-dev protobuf-compiler libsystemd-dev xfsprogs libmount-dev libblkid-dev
          dpkg-dev help2man lintian fakeroot file squashfs-tools)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?build folder}"
shift
mkdir -p "$build"
if ! cmake -S "$top" -B "$build" -G Ninja "$@" >"$build/configure.log" 2>&1; then
  cat "$build/configure.log" >&2
  exit 1
fi
# KORVEL_BUILD_TARGETS (space-separated) builds only those targets.
cmake --build "$build" -j"$(nproc)" ${KORVEL_BUILD_TARGETS:+--target $KORVEL_BUILD_TARGETS}

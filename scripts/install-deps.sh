#!/usr/bin/env bash
# Installs from Debian what building and testing need. Idempotent: when every
# package is present it does nothing. As root it runs apt-get (one update);
# otherwise it prints the command to run and fails.
set -euo pipefail

packages=(
  cmake ninja-build make g++ googletest
  g++-mipsel-linux-gnu qemu-user
  clang-format
  libcli11-dev nlohmann-json3-dev
  clang libclang-rt-14-dev
  pkg-config libfuse3-dev fuse3 libpng-dev busybox
  mtd-utils
  help2man dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root: $cmd" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"

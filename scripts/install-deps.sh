#!/usr/bin/env bash
# Installs from Debian what building and testing need. Idempotent: when every
# package is present it does nothing. As root it runs apt-get (one update);
# otherwise it prints the command to run and fails.
set -euo pipefail

packages=(
  cmake ninja-build make g++ googletest
  g++-mipsel-linux-gnu qemu-user
  clang-format
  libcli11-dev nlohmann-json3-dev libssl-dev
  clang libclang-rt-14-dev
  pkg-config libfuse3-dev fuse3 libpng-dev busybox
  mtd-utils
  help2man dpkg-dev
  qemu-system-mips cpio jq parallel
  chromium python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The target check boots Debian's kernel for QEMU's Malta board with a
# busybox for mipsel, and builds a module for that kernel (tests/target/
# module) against its headers. They are unpacked here, never installed
# (busybox-static would take the place of the host's busybox). The kernel
# is pinned: a module loads only into the kernel whose headers built it.
target_cache=${UPGRADER_TARGET_CACHE:-/var/cache/upgrader-target}
kernel_abi=6.1.0-50
kernel_version=6.1.176-1
target_packages=(
  "linux-image-$kernel_abi-4kc-malta:mipsel=$kernel_version"
  "linux-headers-$kernel_abi-4kc-malta:mipsel=$kernel_version"
  "linux-headers-$kernel_abi-common:all=$kernel_version"
  "linux-kbuild-6.1:amd64=$kernel_version"
  busybox-static:mipsel
)
headers=$target_cache/root/usr/src/linux-headers-$kernel_abi-4kc-malta
target_ready() {
  [ -f "$target_cache/root/boot/vmlinuz-$kernel_abi-4kc-malta" ] &&
    [ -x "$target_cache/root/bin/busybox" ] &&
    grep -qx "include $target_cache/root/usr/src/linux-headers-$kernel_abi-common/Makefile" \
      "$headers/Makefile" 2>/dev/null
}

fetch_target() {
  if target_ready; then
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: the target check's mipsel kernel, its headers or busybox are missing from $target_cache; run this script as root" >&2
    return 1
  fi
  echo "install-deps: fetching Linux $kernel_version for Malta (image, headers, kbuild) and busybox-static (mipsel) into $target_cache"
  if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
    dpkg --add-architecture mipsel
    apt-get update -q
  fi
  local debs=$target_cache/debs p
  rm -rf "$debs" "$target_cache/root"
  mkdir -p "$debs" "$target_cache/root"
  (cd "$debs" && apt-get download -q "${target_packages[@]}" 2>&1 | grep -v 'unsandboxed' || true)
  for p in "$debs"/*.deb; do
    dpkg-deb -x "$p" "$target_cache/root"
  done
  # The headers' Makefile includes the common half by its installed path.
  sed -i "s|^include /usr/src/|include $target_cache/root/usr/src/|" "$headers/Makefile"
  target_ready
}

if [ ${#missing[@]} -eq 0 ]; then
  fetch_target
  exit $?
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
fetch_target

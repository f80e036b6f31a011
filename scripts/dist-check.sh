#!/usr/bin/env bash
# make dist-check: what make dist made, tried as a user would get it.
#   - the tarball: its entries, owners and modes; its program started under
#     qemu-user on the cross toolchain's glibc, libstdc++ and libgcc_s, as far
#     as its argument check (status -200, exit 56);
#   - the package: its control fields and contents, then installed with
#     apt-get into a fresh minimal Debian 12 (debootstrap, kept in
#     build/dist/ as a pristine tarball for the next run), which fetches its
#     Depends from the mirror; there every --help, the manual pages, a pack
#     made and read with rompack, a whole upgrade in phonesim (the host
#     release build of the program) that must end with the reboot (100), and
#     faults finding the phonesim installed beside it for a campaign of
#     three cuts that must end with 0, and rehearse on two telephones with
#     one cut each, which must end with 0.
# As root (chroot, mounts in a private mount namespace). Needs the network
# to the Debian mirror on the first run.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "dist-check: needs root (debootstrap, chroot)" >&2
    exit 1
fi
version=$(sed -n 's/^project(upgrader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
tarball=dist/upgrader-$version-mipsel.tar.gz
deb=$(ls dist/upgrader-host-tools_"$version"_*.deb 2>/dev/null || true)
program=build/release/src/upgrader/upgrader
for f in "$tarball" "$deb" "$program"; do
    if [ ! -f "$f" ]; then
        echo "dist-check: ${f:-the package} is missing: run make dist" >&2
        exit 1
    fi
done

checks=0
fail() {
    echo "dist-check: FAILED: $*" >&2
    exit 1
}
ok() {
    checks=$((checks + 1))
    echo "ok: $*"
}

echo "== $tarball"
tar tvzf "$tarball"
listing=$(tar tvzf "$tarball" | awk '{ print $1, $2, $6 }')
expected='-rw-r--r-- 0/0 INSTALL
-rw-r--r-- 0/0 LICENSE
drwxr-xr-x 0/0 basic/
drwxr-xr-x 0/0 basic/bin/
-rwxr-xr-x 0/0 basic/bin/upgrader'
[ "$listing" = "$expected" ] || fail "tarball entries differ from: $expected"
ok "tarball: INSTALL and basic/bin/upgrader, root, 0755"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar xzf "$tarball" -C "$work"
file "$work/basic/bin/upgrader"
mipsel-linux-gnu-readelf -d "$work/basic/bin/upgrader" | grep NEEDED
mkdir -p "$work/root/bin" "$work/root/tmp"
printf '#!/bin/sh\n' > "$work/root/bin/sh"
chmod 755 "$work/root/bin/sh"
status=0
UPGRADER_ROOT=$work/root UPGRADER_PAUSE_SCALE=0 \
    qemu-mipsel -L /usr/mipsel-linux-gnu "$work/basic/bin/upgrader" a b c || status=$?
[ "$status" -eq 56 ] || fail "the mipsel program with three arguments: exit $status, not 56 (-200)"
ok "mipsel program loads and refuses three arguments (exit 56 = -200)"

echo "== $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }')
expected='-rwxr-xr-x ./usr/bin/faults
-rwxr-xr-x ./usr/bin/phonesim
-rwxr-xr-x ./usr/bin/rehearse
-rwxr-xr-x ./usr/bin/rompack
-rw-r--r-- ./usr/share/doc/upgrader-host-tools/copyright
-rw-r--r-- ./usr/share/man/man1/faults.1.gz
-rw-r--r-- ./usr/share/man/man1/phonesim.1.gz
-rw-r--r-- ./usr/share/man/man1/rehearse.1.gz
-rw-r--r-- ./usr/share/man/man1/rompack.1.gz'
[ "$contents" = "$expected" ] || fail "package files differ from: $expected"
ok "package: the four commands, their manual pages and the copyright file, nothing else"

# A fresh minimal Debian 12, made once and kept as a tarball.
pristine=build/dist/bookworm-minbase.tar.gz
fresh=$PWD/build/dist/fresh
if grep -q " $fresh" /proc/self/mounts; then
    fail "$fresh still has mounts"
fi
rm -rf --one-file-system "$fresh"
mkdir -p "$fresh"
if [ ! -f "$pristine" ]; then
    command -v debootstrap >/dev/null || {
        apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
    }
    echo "== debootstrap --variant=minbase bookworm (once)"
    debootstrap --variant=minbase bookworm "$fresh" http://deb.debian.org/debian > build/dist/debootstrap.log 2>&1 ||
        fail "debootstrap, see build/dist/debootstrap.log"
    tar czf "$pristine.part" -C "$fresh" . && mv "$pristine.part" "$pristine"
else
    tar xzf "$pristine" -C "$fresh"
fi
cp "$deb" "$fresh/tmp/"
cp examples/pack.json "$fresh/tmp/pack.json"
mkdir -p "$fresh/tmp/fleet"
cp examples/fleet/model59-variant.json examples/fleet/model59-variant3.json "$fresh/tmp/fleet/"
cp "$program" "$fresh/tmp/upgrader"
cp /etc/resolv.conf "$fresh/etc/resolv.conf"
cat > "$fresh/tmp/check.sh" <<EOF
set -e
cd /tmp
echo "== apt-get install ./$(basename "$deb") in a fresh Debian 12"
apt-get update -q > /dev/null
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o Dpkg::Use-Pty=0 --no-install-recommends ./$(basename "$deb")
dpkg-query -W -f='\${Package} \${Version} \${Status}\n' upgrader-host-tools
for c in "rompack" "rompack create" "rompack info" "rompack verify" \\
         "phonesim" "phonesim init" "phonesim run" "phonesim upgrade" "phonesim show" "faults" \\
         "rehearse" "rehearse merge"; do
    \$c --help > /dev/null
    echo "ok: \$c --help"
done
faults --version | grep -qx "faults $version" || { echo "faults --version: not faults $version"; exit 1; }
echo "ok: faults --version"
rehearse --version | grep -qx "rehearse $version" || { echo "rehearse --version: not rehearse $version"; exit 1; }
echo "ok: rehearse --version"
ls -l /usr/share/man/man1/rompack.1.gz /usr/share/man/man1/phonesim.1.gz /usr/share/man/man1/faults.1.gz \\
    /usr/share/man/man1/rehearse.1.gz
rompack create pack.json -o pack.pack
rompack info pack.pack > /dev/null
echo "ok: rompack create and info"
phonesim init /tmp/phone --program /tmp/upgrader
status=0
phonesim upgrade /tmp/phone /tmp/pack.pack --mode file --pause-scale 0 || status=\$?
[ \$status -eq 100 ] || { echo "phonesim upgrade: exit \$status, not 100 (reboot)"; exit 1; }
echo "ok: phonesim upgrade ended with the reboot (100)"
faults --program /tmp/upgrader --sample 3 --work /tmp/faults /tmp/pack.json
echo "ok: faults ran three cuts with the phonesim beside it"
rehearse /tmp/pack.json --fleet /tmp/fleet --cuts 1 --program /tmp/upgrader --out /tmp/rehearsal
test -s /tmp/rehearsal/report.json && test -s /tmp/rehearsal/report.html
echo "ok: rehearse took the pack on one telephone, one cut recovered, and the other refused it"
EOF
# The chroot's / must be a mount point for phonesim's private mounts; the
# mounts end with the namespace.
unshare --mount --propagation private sh -c '
    mount --bind "$1" "$1" && mount --rbind /dev "$1/dev" && mount -t proc proc "$1/proc" &&
    chroot "$1" sh /tmp/check.sh' sh "$fresh" || fail "in the fresh Debian"
checks=$((checks + 18))

# man-db is not in a minimal system: the pages are rendered by the host's.
for page in rompack phonesim faults rehearse; do
    MANWIDTH=80 man -l "$fresh/usr/share/man/man1/$page.1.gz" 2> "$work/man.err" | head -n 4
    [ ! -s "$work/man.err" ] || fail "man -l $page.1.gz: $(cat "$work/man.err")"
done
ok "manual pages render with man -l"

copyright=$fresh/usr/share/doc/upgrader-host-tools/copyright
grep -q '^License: Apache-2.0$' "$copyright" 2>/dev/null || fail "$copyright: no Apache-2.0 licence"
ok "the package's copyright file names the licence (Apache-2.0)"

grep -q " $fresh" /proc/self/mounts || rm -rf --one-file-system "$fresh"
echo "dist-check: all $checks checks passed"

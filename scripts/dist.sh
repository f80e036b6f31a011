#!/usr/bin/env bash
# make dist: the two things handed out, in dist/.
#   upgrader-VERSION-mipsel.tar.gz   the telephone's program, laid out as the
#                                    telephone's file system, with INSTALL
#   upgrader-host-tools_VERSION_ARCH.deb   rompack, phonesim, faults and rehearse (CPack)
# VERSION is the project version of CMakeLists.txt. Times inside both are
# the last commit's, so that the same tree gives the same tarball.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(upgrader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
    echo "dist: no project version in CMakeLists.txt" >&2
    exit 1
fi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

cmake --preset mipsel-release >/dev/null
cmake --build --preset mipsel-release
cmake --preset release >/dev/null
cmake --build --preset release

mkdir -p dist

# The tarball.
stage=build/dist/telephone
rm -rf "$stage"
mkdir -p "$stage/basic/bin"
install -m 0755 build/mipsel-release/src/upgrader/upgrader "$stage/basic/bin/upgrader"
install -m 0644 packaging/INSTALL.telephone "$stage/INSTALL"
install -m 0644 LICENSE "$stage/LICENSE"
tarball=dist/upgrader-$version-mipsel.tar.gz
tar --create --sort=name --owner=0 --group=0 --numeric-owner \
    --mtime="@$SOURCE_DATE_EPOCH" --directory="$stage" INSTALL LICENSE basic |
    gzip -9n > "$tarball"

# The package: CPack works in its own directory, the .deb alone is kept.
rm -rf build/dist/cpack
cpack --config build/release/CPackConfig.cmake -B build/dist/cpack >/dev/null
deb=$(ls build/dist/cpack/*.deb)
listing=$(dpkg-deb -c "$deb")
for tool in rompack phonesim faults rehearse; do
    if ! grep -q "usr/bin/$tool\$" <<< "$listing"; then
        echo "dist: $deb has no $tool (is it installed with COMPONENT tools?)" >&2
        exit 1
    fi
    if ! grep -q "man1/$tool.1.gz" <<< "$listing"; then
        echo "dist: $deb has no manual page of $tool (is help2man installed?)" >&2
        exit 1
    fi
done
if ! grep -q "usr/share/doc/upgrader-host-tools/copyright\$" <<< "$listing"; then
    echo "dist: $deb has no copyright file" >&2
    exit 1
fi
rm -f dist/upgrader-host-tools_*.deb
cp "$deb" dist/
deb=dist/$(basename "$deb")

echo "== dist =="
for f in "$tarball" "$deb"; do
    printf '%s  %s bytes\n' "$f" "$(stat -c %s "$f")"
done

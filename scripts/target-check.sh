#!/usr/bin/env bash
# make target-check: the telephone's program (mipsel-release, as shipped) on
# a MIPS kernel with real MTD devices. Debian's kernel for QEMU's Malta board
# boots under qemu-system-mipsel with an initramfs made here: busybox, the
# program and its C/C++ runtime, the packs, and tests/target/init, which
# makes ten phram MTD devices in phonesim's default layout, lays out the
# telephone under UPGRADER_ROOT and runs four scenarios:
#
#   direct   examples/pack.json in direct mode on a new telephone
#   file     the same pack in file mode on a new telephone
#   refused  examples/refused.json (another model): refused, the failure
#            screen waits, the user presses the reboot key
#   partial  a pack whose bytes partly match what the file scenario left
#            in flash: some blocks identical, some needing an erase, some
#            only bits to clear
#
# The same scenarios run first in phonesim on the PC; the guest must end the
# same way: the ending, the md5 of every /dev/mtdN, the boot environment,
# the program's error lines and its per-partition erase/write counts.
#
#   scripts/target-check.sh [--bench]
# --bench also prints the program's stripped size and its memory on the
# target against the budget. Appends "target: ..." to build/summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

bench=0
[ "${1:-}" = --bench ] && bench=1

cache=${UPGRADER_TARGET_CACHE:-/var/cache/upgrader-target}/root
kernel=$(compgen -G "$cache/boot/vmlinuz-*-malta" | head -n 1 || true)
if [ -z "$kernel" ] || [ ! -x "$cache/bin/busybox" ]; then
    echo "target-check: no Malta kernel or mipsel busybox in $cache (run scripts/install-deps.sh)" >&2
    exit 1
fi
kver=${kernel##*/vmlinuz-}

top=$PWD
out=$top/build/target
rm -rf "$out"
mkdir -p "$out/packs" "$out/expect" "$out/phonesim"
summary=$top/build/summary.txt
record() { echo "target: $*" >> "$summary"; }
# Whatever stops the check early still leaves its line in the summary.
trap 'record "FAILED: stopped at line $LINENO of scripts/target-check.sh (build/target)"' ERR
set -E
began=$(date +%s)

echo "== target: build (mipsel-release; host phonesim, rompack and program for the expectations)"
{ cmake --preset mipsel-release && cmake --build --preset mipsel-release &&
  cmake --preset host && cmake --build --preset host --target upgrader phonesim rompack_cli; } \
    > "$out/build.log" 2>&1 || { tail -n 30 "$out/build.log"; record "build failed"; exit 1; }
built=$(date +%s)
program=$top/build/mipsel-release/src/upgrader/upgrader
host_program=$top/build/host/src/upgrader/upgrader
phonesim=$top/build/host/tools/phonesim/phonesim
rompack=$top/build/host/tools/rompack/rompack

# --- the expectations, from phonesim ----------------------------------------
# The telephone's root has the same path in phonesim and in the guest, so
# that the program's messages are the same text.
phone=$out/phone
new_phone() {
    "$phonesim" init "$phone" --profile examples/phone.json --program "$host_program" > /dev/null
}

# The bytes of the window START-END (chip addresses) of a phonesim chip.
slice() { # CHIP START END
    dd if="$1" bs=65536 skip=$((($2 - 0x90000000) / 65536)) count=$((($3 - $2) / 65536)) status=none
}

# The md5 of every partition of a phonesim chip, "mtdN HASH" per line.
partition_md5() { # CHIP LAYOUT
    local name start end
    while read -r name start end; do
        echo "$name $(slice "$1" "$start" "$end" | md5sum | cut -d' ' -f1)"
    done < "$2"
}

# What the comparison looks at in a log: the lines at error level or worse
# and the per-partition flash counts, as "LEVEL TEXT" with blanks squeezed.
log_filter() {
    awk '{ gsub(/[ \t\r]+/, " "); sub(/ $/, "") }
         $1 <= 3 || / blocks erased, / { print }' | sort
}

expect() { # NAME MODE PACK [phonesim options]
    local name=$1 mode=$2 pack=$3
    shift 3
    local report=$out/phonesim/$name exp=$out/expect/$name
    mkdir -p "$exp"
    "$phonesim" upgrade "$phone" "$out/packs/$pack" --mode "$mode" --pause-scale 0 \
        --time-limit 120 --report "$report" "$@" > "$out/phonesim/$name.txt" 2>&1 || true
    jq -r 'if .ending == "exit" then "exit \(.status)" else .ending end' "$report/report.json" > "$exp/ending"
    partition_md5 "$phone/.phonesim/flash.img" "$phone/.phonesim/layout" > "$exp/md5"
    cp "$phone/.phonesim/bootenv" "$exp/bootenv"
    jq -r '.log[] | .text | gsub("\n"; " ")' "$report/report.json" |
        sed -nE 's/^upgrader pid[0-9]+,tid[0-9]+,l([0-7]): /\1 /p' | log_filter > "$exp/log"
}

echo "== target: expectations from phonesim"
"$rompack" create examples/pack.json -o "$out/packs/pack.rom" > /dev/null
"$rompack" create examples/refused.json -o "$out/packs/refused.rom" > /dev/null

new_phone
stage=$out/initramfs
mkdir -p "$stage/target/root"
cp "$phone/.phonesim/flash.img" "$stage/target/chip0.img"
cp "$phone/.phonesim/bootenv" "$stage/target/env0"
(cd "$phone" && cp -a --parents version.conf app/version.conf basic/version.conf config \
    "$stage/target/root/")

expect direct direct pack.rom
new_phone
expect file file pack.rom
expect refused file refused.rom --keys 2:35

# The partial pack: the file scenario's kernel unchanged (nothing to do),
# basic with one block that needs an erase (bytes back to 0xFF) and one
# with bits to clear only (bytes to 0x00), and the applications' erased
# tail given a few 0x00 bytes (written without an erase).
window() { # MTD FILE
    local name start end
    read -r name start end < <(grep "^$1 " "$phone/.phonesim/layout")
    slice "$phone/.phonesim/flash.img" "$start" "$end" > "$2"
}
patch_bytes() { # FILE OFFSET COUNT BYTE(octal)
    head -c "$3" /dev/zero | tr '\0' "\\$4" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
window mtd1 "$out/packs/mtd1.bin"
window mtd5 "$out/packs/mtd5.bin"
window mtd6 "$out/packs/mtd6.bin"
patch_bytes "$out/packs/mtd5.bin" $((2 * 65536 + 100)) 64 377
patch_bytes "$out/packs/mtd5.bin" $((7 * 65536 + 4000)) 64 000
patch_bytes "$out/packs/mtd6.bin" $((30 * 65536 + 8)) 16 000
cat > "$out/packs/partial.json" <<EOF
{
  "comment": "2.143.7.21: kernel as 2.143.7.20, basic and applications changed in three blocks",
  "device_id": 59, "oem_id": 7, "version": "2.143.7.21", "match_id": [2],
  "mid_version": 0, "sw_protect": 0, "scramble_key": 23,
  "partitions": [
    { "id": 1, "version": "2.143.7.21", "payload": "$out/packs/mtd1.bin" },
    { "id": 5, "version": "2.143.7.21", "payload": "$out/packs/mtd5.bin" },
    { "id": 6, "version": "2.143.7.21", "payload": "$out/packs/mtd6.bin" }
  ]
}
EOF
"$rompack" create "$out/packs/partial.json" -o "$out/packs/partial.rom" > /dev/null
expect partial file partial.rom

# --- the guest -----------------------------------------------------------------
echo "== target: initramfs (Linux $kver, busybox, the program, the packs)"
mkdir -p "$stage/bin" "$stage/lib/modules" "$stage/target/packs"
cp "$cache/bin/busybox" "$stage/bin/busybox"
ln -sf busybox "$stage/bin/sh"
cp "$(find "$cache/lib/modules/$kver" -name phram.ko)" "$stage/lib/modules/"
for lib in ld.so.1 libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1; do
    cp -L "/usr/mipsel-linux-gnu/lib/$lib" "$stage/lib/"
done
cp "$program" "$stage/target/upgrader"
cp "$out/packs/"*.rom "$stage/target/packs/"
install -m 0755 tests/target/init "$stage/init"
# phram takes the chip from RAM the kernel leaves alone (mem= below), 128 MiB up.
cat > "$stage/target/config" <<EOF
ROOT='$phone'
PHRAM_BASE=$((0x08000000))
FLASH_BASE=$((0x90000000))
HWVER='$(jq -r .hwver examples/phone.json)'
SOFTWARE='$(jq -r .software examples/phone.json)'
EOF
cat > "$stage/target/scenarios" <<EOF
direct direct pack.rom fresh -
file file pack.rom fresh -
refused file refused.rom kept key
partial file partial.rom kept -
EOF
(cd "$stage" && find . | cpio -o -H newc --quiet) > "$out/initramfs.cpio"

echo "== target: booting qemu-system-mipsel -M malta"
started=$(date +%s)
timeout 300 qemu-system-mipsel -M malta -m 256 -nographic -no-reboot -nic none -vga none \
    -kernel "$kernel" -initrd "$out/initramfs.cpio" \
    -append "console=ttyS0 mem=128M@0 mem=120M@136M quiet panic=-1" \
    < /dev/null > "$out/console.log" 2>&1 || true
elapsed=$(($(date +%s) - started))
tr -d '\r' < "$out/console.log" | sed -n 's/^@@ //p' > "$out/guest.txt"

# --- the judgement -------------------------------------------------------------
problems=0
if ! grep -qx done "$out/guest.txt"; then
    echo "target: the guest did not finish; the end of its console:" >&2
    tail -n 40 "$out/console.log" >&2
    record "FAILED: the guest did not finish (build/target/console.log)"
    exit 1
fi
printf '%s\n' "$(grep '^kernel ' "$out/guest.txt")" | sed 's/^/  guest /'
mtds=$(grep -c '^mtd mtd' "$out/guest.txt" || true)
echo "  $mtds MTD devices (name, size, erase size): $(grep '^mtd mtd' "$out/guest.txt" | awk '{ printf "%s%s %s %s", sep, $2, $3, $4; sep = ", " }')"

# One line of the table: WHAT, what the guest has, what it is held
# against, and whether they agree (1) or not.
row() { # WHAT GOT AGAINST AGREE
    local verdict=ok
    if [ "$4" != 1 ]; then
        verdict=DIFFERS
        problems=$((problems + 1))
    fi
    printf '  %-8s %-44s %-23s %s\n' "$1" "$2" "$3" "$verdict"
}
same() { cmp -s "$1" "$2" && echo 1 || echo 0; }

for name in direct file refused partial; do
    exp=$out/expect/$name
    g() { sed -n "s/^$name $1 //p" "$out/guest.txt"; }
    echo "-- $name (guest: $(g seconds) s)"
    ending=$(g ending)
    row ending "$ending" "phonesim: $(cat "$exp/ending")" "$([ "$ending" = "$(cat "$exp/ending")" ] && echo 1)"
    while read -r mtd want; do
        got=$(g md5 | awk -v m="$mtd" '$1 == m { print $2 }')
        row "$mtd" "${got:-none}" "expected ${want:0:12}.." "$([ "$got" = "$want" ] && echo 1)"
    done < "$exp/md5"
    g env > "$out/$name.bootenv"
    row bootenv "$(wc -l < "$out/$name.bootenv") variables" "phonesim's" "$(same "$out/$name.bootenv" "$exp/bootenv")"
    g log | log_filter > "$out/$name.log"
    row log "$(grep -c ' blocks erased, ' "$out/$name.log" || true) flash counts, $(awk '$1 <= 3' "$out/$name.log" | wc -l) error lines" \
        "phonesim's" "$(same "$out/$name.log" "$exp/log")"
    sed -n 's/^[0-7] \(.* blocks erased, .*\)/             \1/p' "$out/$name.log"
    diff "$exp/log" "$out/$name.log" | sed 's/^/           /' || true
    diff "$exp/bootenv" "$out/$name.bootenv" | sed 's/^/           /' || true
done

# Memory as the reboot stand-in saw it (the peak: VmRSS = VmHWM there), per
# scenario: "NAME VmHWM PACK RUNTIME OWN" in kB, where PACK is the pack's
# mapping, RUNTIME the C/C++ libraries and the loader, OWN the rest.
: > "$out/memory.txt"
for name in direct file refused partial; do
    sed -n "s/^$name mem //p" "$out/guest.txt" | awk -v n="$name" '
        $1 == "VmHWM:" { hwm = $2 }
        $1 == "map" && $3 ~ /\/tmp\/[^\/]*\.rom$/ { pack += $2; next }
        $1 == "map" && $3 ~ /^\/lib\// { runtime += $2; next }
        $1 == "map" { own += $2 }
        END { if (hwm) print n, hwm, pack, runtime, own }' >> "$out/memory.txt"
done

echo "== target: 4 scenarios, $mtds MTD devices: $([ $problems -eq 0 ] && echo passed || echo "$problems differences")" \
    "($(($(date +%s) - began)) s: builds $((built - began)) s, guest $elapsed s)"
if [ $problems -ne 0 ]; then
    record "FAILED: $problems differences from phonesim on Linux $kver (build/target)"
    exit 1
fi
record "4 scenarios passed on Linux $kver mipsel (qemu Malta, phram), every partition's md5 = phonesim's"

if [ $bench -eq 1 ]; then
    size=$(stat -c %s "$program")
    echo "== target: size and memory (budget: 160 KiB stripped, peak 2 MiB beyond the mapped pack)"
    awk -v s="$size" 'BEGIN { printf "  program (mipsel-release, stripped)  %d bytes = %.1f KiB, %.0f %% of the budget\n", s, s / 1024, s * 100 / 163840 }'
    printf '  %-8s %10s %10s %10s %10s %18s\n' scenario "peak" "pack" "C runtime" "own" "peak beyond pack"
    while read -r name hwm pack runtime own; do
        printf '  %-8s %7d kB %7d kB %7d kB %7d kB %10d kB %3d %%\n' "$name" "$hwm" "$pack" "$runtime" \
            "$own" $((hwm - pack)) $(((hwm - pack) * 100 / 2048))
    done < "$out/memory.txt"
fi

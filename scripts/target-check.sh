#!/usr/bin/env bash
# make target-check: the telephone's program (mipsel-release, as shipped) on
# a MIPS kernel with the telephone's flash on the real MTD core. Debian's
# kernel for QEMU's Malta board boots under qemu-system-mipsel with an
# initramfs made here: busybox, the program and its C/C++ runtime, the packs,
# phram for the 8 MiB chip, tests/target/module (phoneflash: the ten
# partitions, the partition query and move, the boot environment, power
# cuts; built here against the kernel's pinned headers) and
# tests/target/init. Each boot runs one upgrade. The guest's RAM is a file
# whose chip and boot environment outlive the boot, so that a telephone goes
# on from one boot to the next, also after a power cut. Eight scenarios:
#
#   direct   examples/pack.json in direct mode on a new telephone
#   file     the same pack in file mode on a new telephone
#   refused  examples/refused.json (another model): refused, the failure
#            screen waits, the user presses the reboot key
#   partial  a pack whose bytes partly match what the file scenario left
#            in flash: some blocks identical, some needing an erase, some
#            only bits to clear
#   moving   tests/data/faults/moving.json: the root file system takes the
#            place of the environment and configuration blocks, which move
#   sliding  tests/data/faults/sliding.json: both blocks slide onto their
#            old places, staged in basic meanwhile
#   cut-erase, cut-write  the partial pack on the telephone refused left,
#            the power cut during its erase of a block full of data, or
#            during the write that programs it anew: the chip and the boot
#            environment as the cut leaves them
#
# The same scenarios run first in phonesim on the PC; the guest must end the
# same way: the ending, the md5 of every /dev/mtdN, the partition table, the
# boot environment, every flash operation in order, the program's error
# lines and its per-partition erase/write counts.
#
# Then the power-cut campaign (tools/faults) cuts the moving pack on the
# guest at the middle operation of each of its phases and at its last one
# (8 cut points; TARGET_CUTS=LIST for others, as faults --cuts takes them),
# boots it again on the same chip and reruns the upgrade, and makes the same
# cuts in phonesim: each cut must end the same way in both, and none may
# lose the configuration.
#
#   scripts/target-check.sh [--bench]
#   scripts/target-check.sh --faults     (make faults-target)
# --bench also prints the program's stripped size and its memory on the
# target against the budget. --faults runs only the campaign, at every flash
# operation of the moving and sliding packs. Appends "target: ..." to
# build/summary.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

bench=0 campaign_only=0
case "${1:-}" in
--bench) bench=1 ;;
--faults) campaign_only=1 ;;
esac

cache=${UPGRADER_TARGET_CACHE:-/var/cache/upgrader-target}/root
kernel=$(compgen -G "$cache/boot/vmlinuz-*-malta" | head -n 1 || true)
kver=${kernel##*/vmlinuz-}
headers=$cache/usr/src/linux-headers-$kver
if [ -z "$kernel" ] || [ ! -x "$cache/bin/busybox" ] || [ ! -f "$headers/Makefile" ]; then
    echo "target-check: no Malta kernel, its headers or mipsel busybox in $cache (run scripts/install-deps.sh)" >&2
    exit 1
fi

top=$PWD
out=$top/build/target
rm -rf "$out"
mkdir -p "$out/packs" "$out/expect" "$out/phonesim" "$out/runs"
summary=$top/build/summary.txt
record() { echo "target: $*" >> "$summary"; }
# Whatever stops the check early still leaves its line in the summary.
trap 'record "FAILED: stopped at line $LINENO of scripts/target-check.sh (build/target)"' ERR
set -E
began=$(date +%s)

echo "== target: build (mipsel-release, the phoneflash module; host phonesim, rompack, faults and program for the expectations)"
{ cmake --preset mipsel-release && cmake --build --preset mipsel-release &&
  cmake --preset host && cmake --build --preset host --target upgrader phonesim rompack_cli faults &&
  cp -r tests/target/module "$out/module" &&
  make -C "$headers" M="$out/module" ARCH=mips CROSS_COMPILE=mipsel-linux-gnu- modules; } \
    > "$out/build.log" 2>&1 || { tail -n 30 "$out/build.log"; record "build failed"; exit 1; }
# A module loads only into the kernel it was built for.
vermagic=$(strings "$out/module/phoneflash.ko" | sed -n 's/^vermagic=//p')
if [ "${vermagic%% *}" != "$kver" ]; then
    echo "target-check: phoneflash.ko is for \"$vermagic\", the kernel is $kver" >&2
    record "FAILED: the module was built for another kernel"
    exit 1
fi
built=$(date +%s)
program=$top/build/mipsel-release/src/upgrader/upgrader
host_program=$top/build/host/src/upgrader/upgrader
phonesim=$top/build/host/tools/phonesim/phonesim
rompack=$top/build/host/tools/rompack/rompack
faults=$top/build/host/tools/faults/faults

# --- the guest -----------------------------------------------------------------
# The kernel and an initramfs without a telephone: each boot adds its own
# orders (run.conf), pack and telephone files in an archive after it.
guest=$out/guest
stage=$out/initramfs
mkdir -p "$guest" "$stage/bin" "$stage/lib/modules" "$stage/target/packs"
cp "$kernel" "$guest/vmlinuz"
cp "$cache/bin/busybox" "$stage/bin/busybox"
ln -sf busybox "$stage/bin/sh"
cp "$(find "$cache/lib/modules/$kver" -name phram.ko)" "$out/module/phoneflash.ko" "$stage/lib/modules/"
for lib in ld.so.1 libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1; do
    cp -L "/usr/mipsel-linux-gnu/lib/$lib" "$stage/lib/"
done
cp "$program" "$stage/target/upgrader"
install -m 0755 tests/target/init "$stage/init"
# The chip is the 8 MiB of RAM at 128 MiB that the kernel leaves alone
# (mem= at boot), the state area (boot environment, a power cut's record)
# the 64 KiB after it.
cat > "$stage/target/config" <<EOF
PHRAM_BASE=0x08000000
STATE_BASE=0x08800000
FLASH_BASE=0x90000000
EOF
(cd "$stage" && find . | cpio -o -H newc --quiet) > "$guest/initramfs.cpio"

# --- the power-cut campaign on the guest and in phonesim -------------------------
# PACKS, each cut at the flash operations CUTS names (faults --cuts; "all":
# every one) on the guest and in phonesim, in file mode (the guest has no
# loader to hand the pack over in shared memory). Prints the guest's tables
# and a line per cut point with both endings; fails on a difference or a
# lost configuration.
campaign() { # CUTS PACK...
    local cuts=$1 where names
    shift
    names=$(printf '%s ' "${@##*/}" | sed 's/\.json//g; s/ $//; s/ \([^ ]*\)$/ and \1/')
    mkdir -p "$out/faults"
    for where in phonesim target; do
        local opts=(--phonesim "$phonesim" --program "$host_program" --mode file --jobs 2
                    --work "$out/faults/$where" --json)
        if [ "$cuts" = all ]; then opts+=(--sample 0); else opts+=(--cuts "$cuts"); fi
        [ $where = target ] && opts+=(--target "$guest")
        echo "== target: power cuts of $names in $where (cut at: $([ "$cuts" = all ] && echo "every flash operation" || echo "$cuts"))"
        "$faults" "${opts[@]}" "$@" > "$out/faults/$where.json" 2> "$out/faults/$where.log" || true
    done
    grep -v -E '^faults: [^ ]+ cut [0-9]+/' "$out/faults/target.log" | sed 's/^/  /' || true
    # "PACK CUT|OUTCOME|PHASE" per cut point, and each side by the other.
    cuts() { jq -r '.packs[] | .pack as $p | (.cuts // [])[] | "\($p) \(.cut)|\(.outcome)|\(.phase)"' "$1" | LC_ALL=C sort -t '|' -k1,1; }
    LC_ALL=C join -t '|' -a 1 -a 2 -e none -o 0,1.2,2.2,1.3 <(cuts "$out/faults/phonesim.json") \
        <(cuts "$out/faults/target.json") > "$out/faults/both.txt"
    local total differ
    total=$(wc -l < "$out/faults/both.txt")
    differ=$(awk -F '|' '$2 != $3' "$out/faults/both.txt" | wc -l)
    # Every cut point of a sample; of a whole campaign, those that differ.
    awk -F '|' -v all="$([ "$total" -le 20 ] && echo 1)" 'all || $2 != $3 {
            printf "  %-16s %-22s phonesim: %-20s guest: %-20s %s\n", $1, "(" $4 ")", $2, $3, $2 == $3 ? "ok" : "DIFFERS" }' \
        "$out/faults/both.txt" | sort -k1,1 -k2,2n
    local lost ops_p ops_t
    ops_p=$(jq -c '[.packs[] | .operations]' "$out/faults/phonesim.json")
    ops_t=$(jq -c '[.packs[] | .operations]' "$out/faults/target.json")
    lost=$(jq '."configuration lost" + ."not recovered" + .failed_packs' "$out/faults/target.json" 2>/dev/null || echo 1)
    echo "  flash operations of a clean run: phonesim $ops_p, guest $ops_t"
    campaign_line="$total cut points of $names, $((total - differ)) ending as in phonesim"
    campaign_line+=" ($(jq -r '"\(.recovered) recovered, \(."configuration lost") configuration lost, \(.unbootable) unbootable"' "$out/faults/target.json"))"
    if [ "$total" -eq 0 ] || [ "$differ" -ne 0 ] || [ "$lost" != 0 ] || [ "$ops_p" != "$ops_t" ]; then
        echo "== target: power cuts: FAILED: $campaign_line, operations $ops_p against $ops_t (build/target/faults)"
        return 1
    fi
    echo "== target: power cuts: $campaign_line"
}

if [ $campaign_only -eq 1 ]; then
    if campaign all tests/data/faults/moving.json tests/data/faults/sliding.json; then
        record "faults on Linux $kver mipsel: $campaign_line"
        exit 0
    fi
    record "FAILED: faults on Linux $kver mipsel: $campaign_line (build/target/faults)"
    exit 1
fi

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
    cp "$phone/.phonesim/layout" "$exp/layout"
    cp "$phone/.phonesim/bootenv" "$exp/bootenv"
    jq -r '.flash_ops[] | "\(.n) \(.kind) \(.mtd // -1) \(.offset // 0) \(.length // 0)"' \
        "$report/report.json" > "$exp/ops"
    jq -r '.log[] | .text | gsub("\n"; " ")' "$report/report.json" |
        sed -nE 's/^upgrader pid[0-9]+,tid[0-9]+,l([0-7]): /\1 /p' | log_filter > "$exp/log"
}

echo "== target: expectations from phonesim"
for pack in examples/pack.json examples/refused.json tests/data/faults/moving.json tests/data/faults/sliding.json; do
    name=${pack##*/}
    "$rompack" create "$pack" -o "$out/packs/${name%.json}.rom" > /dev/null
done

new_phone
cp "$phone/.phonesim/flash.img" "$out/chip0.img"
cp "$phone/.phonesim/bootenv" "$out/env0"
cp "$phone/.phonesim/layout" "$out/layout0"
mkdir -p "$out/root"
(cd "$phone" && cp -a --parents version.conf app/version.conf basic/version.conf config "$out/root/")

expect direct direct pack.rom
new_phone
expect moving file moving.rom
new_phone
expect sliding file sliding.rom
new_phone
expect file file pack.rom
expect refused file refused.rom --keys 2:35
cp "$phone/.phonesim/flash.img" "$out/chip-refused.img"
cp "$phone/.phonesim/bootenv" "$out/env-refused"

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

# The partial pack again on the telephone refused left, the power cut during
# its erase (a block of basic full of data) or during the write that follows
# (the same block programmed anew): the chip and the boot environment as the
# cut leaves them, before any second boot.
cut_erase=$(awk '$2 == "erase" { print $1; exit }' "$out/expect/partial/ops")
cut_write=$(awk -v e="$cut_erase" '$1 > e && $2 == "write" { print $1; exit }' "$out/expect/partial/ops")
expect_cut() { # NAME OP
    local exp=$out/expect/$1
    mkdir -p "$exp"
    new_phone
    cp "$out/chip-refused.img" "$phone/.phonesim/flash.img"
    cp "$out/env-refused" "$phone/.phonesim/bootenv"
    "$phonesim" upgrade "$phone" "$out/packs/partial.rom" --mode file --pause-scale 0 \
        --time-limit 120 --cut-at "$2" --record brief > "$out/phonesim/$1.txt" 2>&1 || true
    md5sum < "$phone/.phonesim/flash.img" | cut -d' ' -f1 > "$exp/chip"
    cp "$phone/.phonesim/bootenv" "$exp/bootenv"
    awk -v n="$2" '$1 == n { print "cut", $1, $2 }' "$out/expect/partial/ops" > "$exp/record"
}
expect_cut cut-erase "$cut_erase"
expect_cut cut-write "$cut_write"

# --- the scenarios on the guest --------------------------------------------------
# One boot: NAME's orders and pack and the telephone's files in an archive
# after the initramfs, the guest's RAM in runs/NAME.mem; the console in
# runs/NAME.console.
boot() { # NAME MODE PACK KEY CUT
    local name=$1 run=$out/runs/$1
    mkdir -p "$run/target/root" "$run/target/packs"
    cat > "$run/target/run.conf" <<EOF
NAME=$name
PACK=$3
MODE=$2
CUT=$5
KEY=$4
ROOT='$phone'
HWVER='$(jq -r .hwver examples/phone.json)'
SOFTWARE='$(jq -r .software examples/phone.json)'
EOF
    cp "$out/packs/$3" "$run/target/packs/"
    cp -a "$out/root/." "$run/target/root/"
    (cd "$run" && find . | cpio -o -H newc --quiet) | cat "$guest/initramfs.cpio" - > "$run.initrd"
    timeout 300 qemu-system-mipsel -M malta,memory-backend=ram0 -m 256 \
        -object "memory-backend-file,id=ram0,size=256M,share=on,mem-path=$run.mem" \
        -display none -serial "file:$run.console" -monitor none -no-reboot \
        -nic none -vga none -kernel "$guest/vmlinuz" -initrd "$run.initrd" \
        -append "console=ttyS0 mem=128M@0 mem=119M@137M quiet panic=-1" < /dev/null || true
    rm -rf "$run.initrd" "$run"
}

# The guest's RAM of a new telephone, phonesim's new chip and boot
# environment in a sparse file, or of the telephone another scenario left.
memory() { # NAME fresh|SCENARIO
    local mem=$out/runs/$1.mem
    if [ "$2" = fresh ]; then
        truncate -s 256M "$mem"
        dd if="$out/chip0.img" of="$mem" bs=1M seek=128 conv=notrunc status=none
        { printf 'phoneflash v1\n\0\0'; head -c $((4096 - 16)) /dev/zero; cat "$out/env0"; printf '\0'; } |
            dd of="$mem" bs=1M seek=136 conv=notrunc status=none
    else
        cp --sparse=always "$out/runs/$2.mem" "$mem"
    fi
}

scenario() { # NAME MODE PACK fresh|SCENARIO KEY [CUT]
    memory "$1" "$4"
    boot "$1" "$2" "$3" "$5" "${6:-0}"
}

# What a cut left in the guest's RAM: the chip's md5, the boot environment
# and the cut's record, in runs/NAME.{chip,bootenv,record}.
after_cut() { # NAME
    local mem=$out/runs/$1.mem
    dd if="$mem" bs=1M skip=128 count=8 status=none | md5sum | cut -d' ' -f1 > "$out/runs/$1.chip"
    dd if="$mem" bs=4096 skip=$((136 * 256 + 1)) count=15 status=none | sed -z -n 1p | tr -d '\0' \
        > "$out/runs/$1.bootenv"
    dd if="$mem" bs=16 skip=$((136 * 65536 + 1)) count=3 status=none | sed -z -n 1p | tr -d '\0\n' \
        > "$out/runs/$1.record"
}

echo "== target: booting qemu-system-mipsel -M malta, one boot per scenario, two at a time"
started=$(date +%s)
{ scenario direct direct pack.rom fresh 0
  scenario moving file moving.rom fresh 0
  scenario sliding file sliding.rom fresh 0; } &
chain=$!
scenario file file pack.rom fresh 0
scenario refused file refused.rom file 1
scenario partial file partial.rom refused 0
wait "$chain"
scenario cut-erase file partial.rom refused 0 "$cut_erase" &
chain=$!
scenario cut-write file partial.rom refused 0 "$cut_write"
wait "$chain"
after_cut cut-erase
after_cut cut-write
elapsed=$(($(date +%s) - started))
names="direct file refused partial moving sliding"
for name in $names; do
    tr -d '\r' < "$out/runs/$name.console" | sed -n 's/^@@ //p'
done > "$out/guest.txt"
rm -f "$out/runs/"*.mem

# --- the judgement -------------------------------------------------------------
problems=0
for name in $names; do
    if ! grep -qx "$name done" "$out/guest.txt"; then
        echo "target: the guest did not finish $name; the end of its console:" >&2
        tail -n 40 "$out/runs/$name.console" >&2
        record "FAILED: the guest did not finish $name (build/target/runs/$name.console)"
        exit 1
    fi
done
grep -m1 '^direct kernel ' "$out/guest.txt" | sed 's/^direct /  guest /'
mtds=$(grep -c '^direct mtd mtd' "$out/guest.txt" || true)
echo "  $mtds MTD devices (name, size, erase size, partition): $(grep '^direct mtd mtd' "$out/guest.txt" | awk '{ printf "%s%s %s %s %s", sep, $3, $4, $5, $6; sep = ", " }')"

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

for name in $names; do
    exp=$out/expect/$name
    g() { sed -n "s/^$name $1 //p" "$out/guest.txt"; }
    echo "-- $name (guest: $(g seconds) s)"
    ending=$(g ending)
    row ending "$ending" "phonesim: $(cat "$exp/ending")" "$([ "$ending" = "$(cat "$exp/ending")" ] && echo 1)"
    while read -r mtd want; do
        got=$(g md5 | awk -v m="$mtd" '$1 == m { print $2 }')
        row "$mtd" "${got:-none}" "expected ${want:0:12}.." "$([ "$got" = "$want" ] && echo 1)"
    done < "$exp/md5"
    g layout > "$out/$name.layout"
    row table "$(wc -l < "$out/$name.layout") windows, $(awk 'NR == FNR { old[$0] = 1; next } !($0 in old)' "$out/layout0" "$out/$name.layout" | wc -l) of them moved" \
        "phonesim's" "$(same "$out/$name.layout" "$exp/layout")"
    g env > "$out/$name.bootenv"
    row bootenv "$(wc -l < "$out/$name.bootenv") variables" "phonesim's" "$(same "$out/$name.bootenv" "$exp/bootenv")"
    g op > "$out/$name.ops"
    row ops "$(wc -l < "$out/$name.ops") flash operations: $(awk '{ n[$2]++ } END { split("erase write move env", k, " "); for (i = 1; i <= 4; ++i) if (n[k[i]]) { printf "%s%d %s", sep, n[k[i]], k[i]; sep = ", " } }' "$out/$name.ops")" \
        "phonesim's, in order" "$(same "$out/$name.ops" "$exp/ops")"
    g log | log_filter > "$out/$name.log"
    row log "$(grep -c ' blocks erased, ' "$out/$name.log" || true) flash counts, $(awk '$1 <= 3' "$out/$name.log" | wc -l) error lines" \
        "phonesim's" "$(same "$out/$name.log" "$exp/log")"
    sed -n 's/^[0-7] \(.* blocks erased, .*\)/             \1/p' "$out/$name.log"
    for what in layout bootenv ops log; do
        diff "$exp/$what" "$out/$name.$what" | head -n 20 | sed 's/^/           /' || true
    done
done

# A cut leaves the chip and the boot environment as phonesim's cut does.
for name in cut-erase cut-write; do
    exp=$out/expect/$name
    echo "-- $name (the power cut during operation $(cut -d' ' -f2 "$exp/record"), before the next boot)"
    row record "$(cat "$out/runs/$name.record")" "phonesim: $(cat "$exp/record")" \
        "$(same "$out/runs/$name.record" <(cat "$exp/record" | tr -d '\n'))"
    row chip "$(cat "$out/runs/$name.chip")" "expected $(cut -c1-12 "$exp/chip").." "$(same "$out/runs/$name.chip" "$exp/chip")"
    row bootenv "$(wc -l < "$out/runs/$name.bootenv") variables" "phonesim's" "$(same "$out/runs/$name.bootenv" "$exp/bootenv")"
    diff "$exp/bootenv" "$out/runs/$name.bootenv" | head -n 20 | sed 's/^/           /' || true
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

echo "== target: 8 scenarios (2 cut), $mtds MTD devices: $([ $problems -eq 0 ] && echo passed || echo "$problems differences")" \
    "($(($(date +%s) - began)) s: builds $((built - began)) s, guests $elapsed s)"
if [ $problems -ne 0 ]; then
    record "FAILED: $problems differences from phonesim on Linux $kver (build/target)"
    exit 1
fi
record "8 scenarios passed on Linux $kver mipsel (qemu Malta, phram, phoneflash), two moving partitions, two cut during an erase and a write: every partition's md5, the table, the boot environment, every flash operation and what a cut leaves = phonesim's"

status=0
# The middle of every phase of the moving pack, and its last operation.
if campaign "${TARGET_CUTS:-phases,last}" tests/data/faults/moving.json; then
    record "power cuts: $campaign_line"
else
    record "FAILED: power cuts: $campaign_line (build/target/faults)"
    status=1
fi
echo "== target: $(($(date +%s) - began)) s in all"

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
exit $status

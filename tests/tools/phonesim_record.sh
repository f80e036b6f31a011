#!/usr/bin/env bash
# What each --record level of a run leaves behind, and a telephone made from
# a chip image: a campaign's many cheap runs must still tell how the upgrade
# went (status, summary, flash operations, log) and agree with a full run.
#
#   phonesim_record.sh BUILD_DIR DATA_DIR
set -uo pipefail
bin=$(cd "$1" && pwd)
data=$(cd "$2" && pwd)
phonesim=$bin/tools/phonesim/phonesim
upgrader=$bin/src/upgrader/upgrader

work=$(mktemp -d "${TMPDIR:-/tmp}/phonesim-record.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# A chip of random bytes, as a used telephone's: init starts from it as is.
head -c 8388608 /dev/urandom >"$work/chip.img"
for level in full report brief; do
    phone=$work/phone-$level
    "$phonesim" init "$phone" --program "$upgrader" --chip "$work/chip.img" >/dev/null ||
        fail "init --chip ($level)"
    cmp -s "$work/chip.img" "$phone/.phonesim/flash.img" || fail "init --chip: not the chip given"
    "$phonesim" upgrade "$phone" "$data/good-basic.pack" --mode shm --pause-scale 0 \
        --record "$level" 2>"$work/$level.err"
    status=$?
    [ "$status" -eq 100 ] || fail "$level: status $status, want 100 (rebooted)"
    last=$phone/.phonesim/last-run
    [ -s "$last/summary.txt" ] || fail "$level: no summary.txt"
    # Everything a reader of the campaign's runs relies on, as one line (the
    # log by its levels: its texts hold addresses and paths of the run).
    jq -c '[.exit_status, .ending, [.flash_ops[] | [.kind, .mtd, .offset, .length]],
            [.log[].level], .bootenv.changes]' \
        "$last/report.json" >"$work/$level.essentials" || fail "$level: report.json unreadable"
    pictures=$(find "$last" -name '*.png' | wc -l)
    digests=$(jq '[.partitions[]?.after.sha256] | length' "$last/report.json")
    case $level in
    full)
        [ "$pictures" -gt 1 ] || fail "full: $pictures pictures, want the frames and the sheet"
        [ "$digests" -eq 10 ] || fail "full: $digests partition digests, want 10"
        ;;
    report)
        [ "$pictures" -eq 0 ] || fail "report: $pictures pictures, want none"
        [ "$digests" -eq 10 ] || fail "report: $digests partition digests, want 10"
        jq -e '.screens | length > 0' "$last/report.json" >/dev/null || fail "report: no screens"
        ;;
    brief)
        [ "$pictures" -eq 0 ] || fail "brief: $pictures pictures, want none"
        jq -e 'has("partitions") or has("files") | not' "$last/report.json" >/dev/null ||
            fail "brief: partitions or files digested"
        grep -q 'contents not compared (--record brief)' "$last/summary.txt" ||
            fail "brief: the summary does not say what it left out"
        ;;
    esac
done
for level in report brief; do
    cmp -s "$work/full.essentials" "$work/$level.essentials" ||
        fail "$level: status, flash operations, log or boot environment differ from a full run"
done
# The telephones ended alike, whatever their reports held.
cmp -s "$work/phone-full/.phonesim/flash.img" "$work/phone-brief/.phonesim/flash.img" ||
    fail "brief: the chip differs from the full run's"

# A brief run after a full one leaves no stale pictures behind.
phone=$work/phone-full
"$phonesim" run "$phone" --record brief -- true 2>/dev/null || fail "brief run of true"
[ "$(find "$phone/.phonesim/last-run" -name '*.png' | wc -l)" -eq 0 ] ||
    fail "a brief run kept the pictures of the run before"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "every record level tells the same upgrade"

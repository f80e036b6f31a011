#!/usr/bin/env bash
# A rehearsal cut into four shards run by GNU parallel and merged again must
# give the report of the same rehearsal run in one piece, byte for byte but
# for its times; a merge that lacks a shard, or mixes the shards of two
# different rehearsals, is refused with the input status.
#
#   rehearse_shards.sh BUILD_DIR PACK FLEET
# PACK is a ROM pack or a manifest, FLEET a directory of a few profiles.
# Exits 77 (skipped) when GNU parallel is not installed.
set -uo pipefail
if ! command -v parallel >/dev/null; then
    echo "skipped: GNU parallel is not installed (scripts/install-deps.sh)"
    exit 77
fi
bin=$(cd "$1" && pwd)
rehearse=$bin/tools/rehearse/rehearse
for f in "$rehearse" "$2" "$3"; do
    [ -e "$f" ] || { echo "FAIL: $f is missing" >&2; exit 1; }
done
pack=$(realpath "$2")
fleet=$(realpath "$3")
tools=(--phonesim "$bin/tools/phonesim/phonesim" --program "$bin/src/upgrader/upgrader")

work=$(mktemp -d "${TMPDIR:-/tmp}/rehearse-shards.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# same_report DIR1 DIR2: the two reports agree but for their times.
same_report() {
    jq 'del(.times)' "$1/report.json" >"$work/a.json" &&
        jq 'del(.times)' "$2/report.json" >"$work/b.json" ||
        { fail "$1 or $2 holds no readable report.json"; return; }
    cmp -s "$work/a.json" "$work/b.json" ||
        fail "report.json of $2 differs from $1: $(diff "$work/a.json" "$work/b.json" | head -5)"
    grep -v 'id="times"' "$1/report.html" >"$work/a.html"
    grep -v 'id="times"' "$2/report.html" >"$work/b.html"
    cmp -s "$work/a.html" "$work/b.html" ||
        fail "report.html of $2 differs from $1: $(diff "$work/a.html" "$work/b.html" | head -5)"
}

# The rehearsal in one piece, then in four shards and merged.
"$rehearse" "$pack" --fleet "$fleet" --cuts 3 --out A "${tools[@]}" >A.out 2>A.err
whole=$?
[ "$whole" -le 1 ] || fail "the unsharded run: exit $whole: $(tail -3 A.err)"
parallel --will-cite "$rehearse" "$pack" --fleet "$fleet" --cuts 3 --shard {}/4 --out B "${tools[@]}" \
    ::: 1 2 3 4 >B.out 2>B.err
for k in 1 2 3 4; do
    [ -f "B/shard-$k-of-4.json" ] || fail "shard $k/4 wrote no B/shard-$k-of-4.json: $(tail -3 B.err)"
done
"$rehearse" merge B >merge.out 2>merge.err
status=$?
[ "$status" -eq "$whole" ] || fail "merge B: exit $status, the unsharded run $whole: $(tail -3 merge.err)"
same_report A B

# The shards named one by one, the report written elsewhere.
"$rehearse" merge B/shard-*.json --out M >/dev/null 2>merge-files.err
status=$?
[ "$status" -eq "$whole" ] || fail "merge of the shard files: exit $status: $(tail -3 merge-files.err)"
same_report A M

# A shard missing: the input status, naming it.
mkdir C && cp B/shard-1-of-4.json B/shard-2-of-4.json B/shard-4-of-4.json C/
"$rehearse" merge C >/dev/null 2>missing.err
status=$?
[ "$status" -eq 2 ] || fail "merge without shard 3: exit $status, want 2"
grep -Eq 'shard[- ]?3|3/4|3 of 4' missing.err || fail "merge without shard 3 does not name it: $(cat missing.err)"

# Shard 2 of another rehearsal (two cuts instead of three) among the others.
"$rehearse" "$pack" --fleet "$fleet" --cuts 2 --shard 2/4 --out D "${tools[@]}" >/dev/null 2>D.err
[ -f D/shard-2-of-4.json ] || fail "shard 2/4 of --cuts 2 wrote nothing: $(tail -3 D.err)"
mkdir E && cp B/shard-1-of-4.json B/shard-3-of-4.json B/shard-4-of-4.json D/shard-2-of-4.json E/
"$rehearse" merge E >/dev/null 2>mixed.err
status=$?
[ "$status" -eq 2 ] || fail "merge of shards from two rehearsals: exit $status, want 2"

if [ "$failures" -ne 0 ]; then
    echo "$failures failures" >&2
    exit 1
fi
echo "ok: four shards under parallel merge into the unsharded report (exit $whole); a missing or foreign shard is refused"

#!/usr/bin/env bash
# A new engineer's first session with a telephone of their own (model 61,
# variant 4, OEM 12), as the guide walks it: describe the telephone, make a
# pack, look into it, verify it against the description (this telephone,
# another model, the release it already runs), rehearse the upgrade in file
# and shared-memory mode, and cut the power five times. Every step is judged
# by its documented exit status and by what it prints.
#
#   new_user_session.sh BUILD_DIR DATA_DIR
# DATA_DIR holds model61-profile.json and model61.json (tests/data/faults).
set -uo pipefail
bin=$(cd "$1" && pwd)
data=$(cd "$2" && pwd)
rompack=$bin/tools/rompack/rompack
phonesim=$bin/tools/phonesim/phonesim
faults=$bin/tools/faults/faults
upgrader=$bin/src/upgrader/upgrader

work=$(mktemp -d "${TMPDIR:-/tmp}/new-user.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# step WANT DESCRIPTION COMMAND...: runs COMMAND, output in $work/out and
# $work/err, and complains unless it exits WANT.
step() {
    local want=$1 what=$2
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: exit $got, want $want: $*" >&2
        sed 's/^/    /' "$work/err" "$work/out" | head -20 >&2
        failures=$((failures + 1))
        return 1
    fi
    echo "ok: $what (exit $got)"
}

# shows TEXT FILE: complains unless FILE holds TEXT.
shows() {
    if ! grep -qF -- "$1" "$2"; then
        echo "FAIL: \"$1\" not in $(basename "$2"):" >&2
        head -5 "$2" | sed 's/^/    /' >&2
        failures=$((failures + 1))
    fi
}

profile=$data/model61-profile.json
# The release, the same release built for model 59, and the release the
# telephone already runs (3.150.1.9).
cp "$data/model61.json" "$work/pack.json"
jq '.device_id = 59' "$data/model61.json" >"$work/foreign.json"
jq '.version = "3.150.1.9"' "$data/model61.json" >"$work/same.json"
for name in pack foreign same; do
    step 0 "create $name" "$rompack" create "$work/$name.json" -o "$work/$name.pack"
done
step 2 "create refuses to write over its manifest" \
    "$rompack" create "$work/pack.json" -o "$work/pack.json"
cmp -s "$data/model61.json" "$work/pack.json" || { echo "FAIL: the manifest was overwritten" >&2; failures=$((failures + 1)); }

step 0 "info" "$rompack" info "$work/pack.pack" --json
shows "$(sha256sum <"$work/pack.pack" | cut -d' ' -f1)" "$work/out"

step 0 "verify: this telephone takes its release" \
    "$rompack" verify "$work/pack.pack" --profile "$profile"
shows "accepted" "$work/out"
step 1 "verify: a pack for model 59 is refused" \
    "$rompack" verify "$work/foreign.pack" --profile "$profile"
shows "refused" "$work/out"
step 0 "verify: the release it runs reboots without writing" \
    "$rompack" verify "$work/same.pack" --profile "$profile" --json
shows '"code": -86' "$work/out"
echo '{"hwver": 61}' >"$work/broken.json"
step 2 "verify: a broken description is not blamed on the pack" \
    "$rompack" verify "$work/pack.pack" --profile "$work/broken.json"
shows "hwver" "$work/err"

for mode in file shm; do
    phone=$work/phone-$mode
    step 0 "init ($mode)" "$phonesim" init "$phone" --profile "$profile" --program "$upgrader"
    step 0 "verify against the telephone made by init" \
        "$rompack" verify "$work/pack.pack" --phone "$phone"
    step 100 "upgrade in $mode mode" \
        "$phonesim" upgrade "$phone" "$work/pack.pack" --mode "$mode" --pause-scale 0.01
    shows "changed mtd1, mtd5;" "$work/err"
done

phone=$work/phone-refused
step 0 "init (refused)" "$phonesim" init "$phone" --profile "$profile" --program "$upgrader"
step 102 "a refused pack reboots from its failure screen" \
    "$phonesim" upgrade "$phone" "$work/foreign.pack" --mode file --pause-scale 0.01 \
    --keys 1:35
shows "failure screen" "$work/err"

step 0 "a five-cut campaign on this telephone" \
    "$faults" --profile "$profile" --phonesim "$phonesim" --program "$upgrader" \
    --work "$work/faults" --sample 5 --pause-scale 0.01 "$work/pack.json"
shows "5 cut points" "$work/out"

if [ "$failures" -ne 0 ]; then
    echo "$failures step(s) of the session failed" >&2
    exit 1
fi
echo "the whole session passed"

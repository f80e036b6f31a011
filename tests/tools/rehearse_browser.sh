#!/usr/bin/env bash
# The rehearsal's page as a person sees it: headless Chromium opens
# report.html from its file and takes a screenshot, and rehearse_judge.py
# checks the summary table, a section per telephone with its screens, and
# the first telephone's first screen pixel for pixel against its hex.
#
#   rehearse_browser.sh REPORT.html REPORT.json
#       judges a page already made;
#   rehearse_browser.sh REHEARSE FLEET_DIR PACK_OR_MANIFEST [OPTION...]
#       rehearses the pack on the fleet with two power cuts per telephone
#       (every telephone must pass; the options go to rehearse) and judges
#       the page it writes.
#
# The browser is $CHROMIUM, else chromium from PATH. A failed page leaves
# its screenshot and DOM in the work directory named on stderr.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scale=2 # each LCD pixel as the page draws it

work=$(mktemp -d "${TMPDIR:-/tmp}/rehearse-browser.XXXXXX")
keep=0
trap '[ "$keep" = 1 ] || rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    keep=1
    echo "rehearse_browser: the work is kept in $work" >&2
    exit 1
}

if [ $# -eq 2 ]; then
    page=$1 json=$2
elif [ $# -ge 3 ]; then
    "$1" "$3" --fleet "$2" --cuts 2 --out "$work/out" "${@:4}" >"$work/rehearse.out" 2>"$work/rehearse.err"
    status=$?
    [ "$status" -eq 0 ] || { tail -20 "$work/rehearse.err" >&2; fail "rehearse exited $status, want 0"; }
    page=$work/out/report.html json=$work/out/report.json
else
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0" >&2
    exit 2
fi
[ -s "$page" ] || fail "$page: no page"
[ -s "$json" ] || fail "$json: no report"

browser=${CHROMIUM:-$(command -v chromium)}
[ -x "$browser" ] || fail "no chromium (scripts/install-deps.sh installs it)"
# Tall enough for the summary and the first telephone's screens below it.
telephones=$(python3 -c 'import json, sys; print(len(json.load(open(sys.argv[1]))["telephones"]))' "$json") ||
    fail "$json: not a report"
height=$((1300 + 60 * telephones))
url="file://$(cd "$(dirname "$page")" && pwd)/$(basename "$page")"
# A profile of its own, no sandbox (tests may run as root), one pixel per
# CSS pixel whatever the display says.
browse() {
    timeout 60 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
        --no-first-run --force-device-scale-factor=1 --user-data-dir="$work/profile" \
        --window-size=1280,$height "$@" "$url" 2>>"$work/chromium.err"
}
browse --screenshot="$work/screenshot.png" >/dev/null || fail "chromium could not take a screenshot of $url"
[ -s "$work/screenshot.png" ] || fail "chromium wrote no screenshot of $url"
browse --dump-dom >"$work/dom.html" || fail "chromium could not read $url"

python3 "$here/rehearse_judge.py" "$work/screenshot.png" "$work/dom.html" "$json" "$scale" ||
    fail "the page $page is not as its report says"

#!/usr/bin/env bash
# make demo: two upgrades of a simulated telephone, end to end, then one pack
# rehearsed on a fleet of them.
#
#   1. examples/pack.json, a newer release for this telephone, installed in
#      file mode: the program checks it, tells the applications, stops them,
#      writes four partitions and reboots. Every written partition is then
#      compared byte for byte with its payload in the pack.
#   2. examples/refused.json, the same release built for another model: the
#      check refuses it, the failure screen waits, and the simulated user
#      presses "Reboot".
#   3. examples/pack.json rehearsed on the eleven telephones of
#      examples/fleet with ten power cuts per upgrade: each telephone takes
#      or refuses the pack as its profile expects, and no cut loses the
#      configuration (a cut in the kernel or root file system burn leaves
#      the telephone unbootable: the boot chain has no second copy).
#
# Builds only what it needs (upgrader, phonesim, rompack, rehearse) in the release preset
# (DEMO_PRESET=host for the debug build). Everything it makes is under
# build/demo/. Needs root, or a user who may open /dev/fuse and make user
# namespaces, like phonesim itself.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${DEMO_PRESET:-release}
pause_scale=${DEMO_PAUSE_SCALE:-0.05}
out=build/demo

mkdir -p "$out"
if [ -n "${DEMO_BIN:-}" ]; then
  bin=$DEMO_BIN # a build tree made elsewhere; nothing is built
else
  echo "== build ($preset preset: upgrader, phonesim, rompack, rehearse)"
  cmake --preset "$preset" >"$out/configure-$preset.log" 2>&1 ||
    { cat "$out/configure-$preset.log"; exit 1; }
  cmake --build --preset "$preset" --target upgrader phonesim rompack_cli rehearse
  bin=build/$preset
fi
bin=$(cd "$bin" && pwd)
upgrader=$bin/src/upgrader/upgrader
phonesim=$bin/tools/phonesim/phonesim
rompack=$bin/tools/rompack/rompack
rehearse=$bin/tools/rehearse/rehearse

started=$(date +%s.%N)

# The summary of one run, read from its report.json and the telephone's flash.
# Exits non-zero when the run did not end as the scenario expects.
summarize() { # REPORT_DIR PHONE_DIR PACK INFO_JSON --accepted|--refused [--waited]
  python3 - "$@" <<'PY'
import json, sys

report_dir, phone, pack_path, info_path = sys.argv[1:5]
show_waited = "--waited" in sys.argv[5:]
accepted = "--accepted" in sys.argv[5:]
report = json.load(open(report_dir + "/report.json"))
info = json.load(open(info_path))
problems = 0

CHIP_BASE = 0x90000000
STAGES = {
    (4, 1): "the pack check failed",
    (4, 2): "the upgrade begins",
    (4, 3): "stopping the applications failed",
    (4, 4): "writing the flash failed",
    (3, 0): "a failure screen is shown",
}

ending, status, secs = report["ending"], report["status"], report["seconds"]
if ending == "reboot" and report.get("failure_screen"):
    outcome = "rebooted from the failure screen %s" % report["failure_screen"]["text"]
elif ending == "reboot":
    outcome = "rebooted (the program asked for it)"
elif ending == "exit":
    outcome = "the program exited with status %d, no reboot" % status
else:
    outcome = "%s (status %d)" % (ending, status)
print("outcome:     %s after %.2f s" % (outcome, secs))
if ending != "reboot":
    problems += 1

errors = [l for l in report["log"] if l["level"] <= 3]
print("log:         %d lines, %d at error level" % (len(report["log"]), len(errors)))
for l in errors:
    text = l["text"].split(": ", 1)[-1].strip()
    print("             %6.3f s  %s" % (l["at"], text))

print("IPC stages the applications received:")
groups = []
for m in report["ipc"]:
    key = (m["msg"], m["param1"])
    if not groups or groups[-1][0] != key:
        groups.append((key, m["at"], []))
    groups[-1][2].append(m["listener"])
for (msg, p1), at, listeners in groups:
    name = STAGES.get((msg, p1), "?")
    print("             %6.3f s  message %d stage %d  \"%s\"  to %d listeners (%s)"
          % (at, msg, p1, name, len(listeners), ",".join(str(x) for x in listeners)))
if not groups:
    print("             none")

killapps = report["records"].get("killapps", [])
print("apps:        killapps.sh %s" % ("ran %d time%s" % (len(killapps), "s"[len(killapps) == 1:])
                                        if killapps else "did not run"))

changes = report["bootenv"]["changes"]
if not changes:
    print("boot env:    unchanged")
for n, c in enumerate(changes):
    print("%s%s: %s -> %s" % ("boot env:    " if n == 0 else " " * 13, c["name"], c["before"], c["after"]))

flash = open(phone + "/.phonesim/flash.img", "rb").read()
pack = open(pack_path, "rb").read()
payloads = {}
for p in info["partitions"]:
    if p["id"] < 10 and p["type"] == 0:
        payloads["mtd%d" % p["id"]] = p
print("partitions:")
for part in report["partitions"]:
    name, after = part["name"], part["after"]
    start, end = int(after["start"], 16), int(after["end"], 16)
    window = flash[start - CHIP_BASE:end - CHIP_BASE]
    p = payloads.get(name)
    if p is None:
        if part["changed"]:
            print("             %s changed, but the pack has no payload for it" % name)
            problems += 1
        continue
    if not part["changed"]:
        print("             %s not written" % name)
        problems += accepted
        continue
    if not accepted:
        print("             %s written although the pack was refused" % name)
        problems += 1
        continue
    payload = pack[p["offset"]:p["offset"] + p["size"]]
    rest = window[p["size"]:]
    if window[:p["size"]] == payload and rest.count(0xFF) == len(rest):
        print("             %s written: %d bytes, matches the pack (rest of the %d KiB window erased)"
              % (name, p["size"], len(window) // 1024))
    else:
        print("             %s written: %d bytes, DOES NOT match the pack" % (name, p["size"]))
        problems += 1
moved = [p["name"] for p in report["partitions"] if p["moved"]]
if moved:
    print("             moved: %s" % ", ".join(moved))

frames = report["frames"]
print("screens:     %d frames, %d distinct" % (len(frames), len(report["screens"])))
if frames:
    print("             %s/frames/0001.png .. %s" % (report_dir, frames[-1]["file"].split("/")[-1]))
    print("             contact sheet %s/%s" % (report_dir, report.get("contact_sheet", "contact.png")))

if show_waited and len(frames) > 1:
    # The screen that stayed up longest: on a failure, the one that waited
    # for the user's key.
    spans = [(frames[i + 1]["at"] - frames[i]["at"], i) for i in range(len(frames) - 1)]
    span, i = max(spans)
    frame = next(bytes.fromhex(s["hex"]) for s in report["screens"]
                 if s["sha256"] == frames[i]["sha256"])
    def ink(x, y):
        n = y * 132 + x
        return (frame[n // 8] >> (n % 8)) & 1
    cells = " \u2580\u2584\u2588"
    print("the screen that waited %.2f s (%s):" % (span, frames[i]["file"]))
    for y in range(0, 64, 2):
        print("".join(cells[ink(x, y) | ink(x, y + 1) << 1] for x in range(132)).rstrip())

if problems:
    print("demo: this run did not end as expected (%d problems)" % problems)
sys.exit(1 if problems else 0)
PY
}

# One scenario: a fresh telephone, a pack, a file-mode upgrade, its summary.
scenario() { # NAME MANIFEST --accepted|--refused PHONESIM_OPTIONS...
  local name=$1 manifest=$2 expect=$3
  shift 3
  local phone=$out/phone-$name report=$out/$name pack=$out/$name.pack
  [ "$name" = upgrade ] && phone=$out/phone
  "$rompack" create "$manifest" -o "$pack"
  "$rompack" info "$pack" --json >"$pack.json" || true
  "$phonesim" init "$phone" --profile examples/phone.json --program "$upgrader" >/dev/null
  local rc=0
  # An absolute root: the program recognises itself by its full path.
  "$phonesim" upgrade "$PWD/$phone" "$pack" --mode file --pause-scale "$pause_scale" \
    --time-limit 60 --report "$report" "$@" 2>"$report.stderr" || rc=$?
  # "phonesim show" reads the telephone's own last report, which phonesim
  # writes besides --report.
  echo "phonesim:    exit $rc (100 = rebooted, 102 = rebooted from the failure screen)"
  local waited=
  [ "$expect" = --refused ] && waited=--waited
  summarize "$report" "$phone" "$pack" "$pack.json" "$expect" $waited
  echo "the LCD at the end (phonesim show $phone):"
  "$phonesim" show "$phone" | sed -e '/^last run:$/,$d' -e 's/ *$//'
}

echo
echo "== 1. upgrade to examples/pack.json (2.143.7.20 over 2.143.6.200)"
scenario upgrade examples/pack.json --accepted

echo
echo "== 2. refused pack examples/refused.json (built for model 55); the user presses Reboot at 2 s"
scenario refused examples/refused.json --refused --keys 2:35

echo
echo "== 3. examples/pack.json rehearsed on examples/fleet (11 telephones), 10 power cuts per upgrade"
# A line per finished job on stderr while it runs; the summary on stdout.
rc=0
"$rehearse" examples/pack.json --fleet examples/fleet --cuts 10 --out "$out/rehearsal" \
  --phonesim "$phonesim" --program "$upgrader" || rc=$?
echo "rehearse:    exit $rc (0 = every telephone as its profile expects, no cut lost the configuration)"
if [ "$rc" -ne 0 ]; then
  echo "demo: the rehearsal did not pass"
  exit 1
fi

ended=$(date +%s.%N)
echo
python3 -c "print('demo: the three scenarios in %.1f s (after the build); everything is under $out/'
               % ($ended - $started))"

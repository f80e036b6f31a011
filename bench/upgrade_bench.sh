#!/usr/bin/env bash
# make bench (upgrade part): the whole file-mode upgrade of the largest pack
# the default layout takes (examples/bench-pack.json, 7 partitions, 7.3 MiB
# of payload) in phonesim, with every pause of the program scaled to 0.
#
# Each of BENCH_RUNS runs (default 3) starts from a fresh telephone; the
# medians are printed. Alongside, in the same session, the fixed cost of a
# phonesim run (`phonesim run DIR -- true`: namespaces, the FUSE kernel,
# peers, the report), so that the program's own share can be told apart:
#   wall      the whole `phonesim upgrade` command
#   baseline  `phonesim run DIR -- true`
#   program   from the program's first log line to the end of the run (the
#             reboot request), as phonesim's clock saw it
# Numbers are printed, never judged: they depend on the machine.
#
# BENCH_PRESET (default release) names the build; BENCH_BIN a build tree to
# use instead, with nothing built.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${BENCH_PRESET:-release}
runs=${BENCH_RUNS:-3}
out=$PWD/build/bench-upgrade
mkdir -p "$out"

if [ -n "${BENCH_BIN:-}" ]; then
  bin=$(cd "$BENCH_BIN" && pwd)
else
  cmake --preset "$preset" >"$out/configure.log" 2>&1 || { cat "$out/configure.log"; exit 1; }
  cmake --build --preset "$preset" --target upgrader phonesim rompack_cli
  bin=$PWD/build/$preset
fi
phonesim=$bin/tools/phonesim/phonesim
rompack=$bin/tools/rompack/rompack

"$rompack" create examples/bench-pack.json -o "$out/bench.pack" >/dev/null
pack_bytes=$(stat -c %s "$out/bench.pack")

now() { date +%s.%N; }

: >"$out/samples.txt"
for i in $(seq 1 "$runs"); do
  phone=$out/phone
  "$phonesim" init "$phone" --program "$bin/src/upgrader/upgrader" >/dev/null

  t0=$(now)
  "$phonesim" run "$phone" --report "$out/baseline-$i" -- true 2>/dev/null
  t1=$(now)

  rc=0
  "$phonesim" upgrade "$phone" "$out/bench.pack" --mode file --pause-scale 0 \
    --time-limit 300 --report "$out/run-$i" 2>/dev/null || rc=$?
  t2=$(now)
  if [ "$rc" -ne 100 ]; then
    echo "bench: run $i ended with status $rc, not a reboot; see $out/run-$i" >&2
    exit 1
  fi
  echo "$i $t0 $t1 $t2" >>"$out/samples.txt"
done

python3 - "$out" "$runs" "$pack_bytes" <<'PY'
import json, statistics, sys

out, runs, pack_bytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
walls, bases, programs, logspans, written = [], [], [], [], 0
for line in open(out + "/samples.txt"):
    i, t0, t1, t2 = line.split()
    t0, t1, t2 = float(t0), float(t1), float(t2)
    bases.append(t1 - t0)
    walls.append(t2 - t1)
    report = json.load(open("%s/run-%s/report.json" % (out, i)))
    first = report["log"][0]["at"]
    programs.append(report["seconds"] - first)
    logspans.append(report["log"][-1]["at"] - first)
    changed = [p["name"] for p in report["partitions"] if p["changed"]]
    written = len(changed)

wall, base = statistics.median(walls), statistics.median(bases)
program, logspan = statistics.median(programs), statistics.median(logspans)
ms = lambda s: "%.1f ms" % (s * 1000)
runs_of = lambda xs: ", ".join(ms(x) for x in xs)
print("upgrade bench: %d runs, pack %.2f MiB, %d partitions written, pauses scaled to 0"
      % (runs, pack_bytes / 1048576.0, written))
print("  wall, whole upgrade (median)       %10s   runs: %s" % (ms(wall), runs_of(walls)))
print("  baseline, phonesim run -- true     %10s   runs: %s" % (ms(base), runs_of(bases)))
print("  wall - baseline                    %10s   the program plus phonesim's per-upgrade work"
      % ms(wall - base))
print("  program, first log line to reboot  %10s   runs: %s (to its last log line: %s)"
      % (ms(program), runs_of(programs), ms(logspan)))
print("  phonesim overhead, wall - program  %10s   namespaces, kernel, pack copy, flash hashes, frames, report"
      % ms(wall - program))
print("  wall / baseline %.2f; program / wall %.0f %%; program / baseline %.2f"
      % (wall / base, 100.0 * program / wall, program / base))
print("  the program's rate over the pack: %.1f MiB/s" % (pack_bytes / 1048576.0 / program))
PY

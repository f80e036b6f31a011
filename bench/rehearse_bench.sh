#!/usr/bin/env bash
# make bench (rehearse part): what a fleet rehearsal or a power-cut campaign
# pays per phonesim run, against phonesim as it was at a fixed old revision,
# both measured here, in the same session:
#   fixed cost  median of BENCH_FIXED_RUNS (default 20) `phonesim run DIR --
#               true`: namespaces, the kernel's mount, the peers, the
#               before/after snapshot and the report, with no program
#   cut runs    `faults --sample N` on tests/data/faults/several.json
#               (BENCH_CUTS, default 20): per cut point a telephone made,
#               an upgrade cut, and the upgrade run again, all judged
# The baseline (BENCH_BASELINE_REV, default the revision before runs got
# cheap) is built once into build/bench-baseline: its phonesim and faults,
# with the current program, so that only the driver and the simulator
# differ. Numbers are printed, never judged: they depend on the machine and
# on what else runs on it (the load average is printed beside them).
#
# BENCH_PRESET (default release) names the build of the current tree.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=${BENCH_PRESET:-release}
rev=${BENCH_BASELINE_REV:-05dda43}
cuts=${BENCH_CUTS:-20}
fixed_runs=${BENCH_FIXED_RUNS:-20}
out=$PWD/build/bench-rehearse
base=$PWD/build/bench-baseline
mkdir -p "$out"

cmake --preset "$preset" >"$out/configure.log" 2>&1 || { cat "$out/configure.log"; exit 1; }
cmake --build --preset "$preset" --target upgrader phonesim faults >"$out/build.log" 2>&1 ||
  { tail -20 "$out/build.log"; exit 1; }
bin=$PWD/build/$preset

# The baseline's sources as they were, built only as far as its tools.
want=$(git rev-parse --verify "$rev^{commit}")
if [ "$(cat "$base/revision" 2>/dev/null)" != "$want" ]; then
  rm -rf "$base"
  mkdir -p "$base/src"
  git archive "$want" | tar -x -C "$base/src"
  echo "$want" >"$base/revision"
fi
cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUPGRADER_TESTS=OFF >"$out/baseline-configure.log" 2>&1 ||
  { tail -20 "$out/baseline-configure.log"; exit 1; }
cmake --build "$base/build" --target phonesim faults >"$out/baseline-build.log" 2>&1 ||
  { tail -20 "$out/baseline-build.log"; exit 1; }

now() { date +%s.%N; }

# fixed PHONESIM NAME: the median wall time of a run of true, in seconds.
fixed() {
  local phonesim=$1 phone=$out/phone-$2
  "$phonesim" init "$phone" --program "$bin/src/upgrader/upgrader" >/dev/null
  "$phonesim" run "$phone" -- true 2>/dev/null # warm the caches
  for _ in $(seq 1 "$fixed_runs"); do
    local t0 t1
    t0=$(now)
    "$phonesim" run "$phone" -- true 2>/dev/null
    t1=$(now)
    echo "$t0 $t1"
  done | awk '{print $2 - $1}' | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

# campaign BUILD NAME: the wall time of the sampled campaign, in seconds.
campaign() {
  local t0 t1
  t0=$(now)
  "$1/tools/faults/faults" --phonesim "$1/tools/phonesim/phonesim" \
    --program "$bin/src/upgrader/upgrader" --work "$out/faults-$2" --sample "$cuts" \
    tests/data/faults/several.json >"$out/faults-$2.log" 2>&1 ||
    { echo "bench: the $2 campaign failed, see $out/faults-$2.log" >&2; exit 1; }
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}'
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
fixed_new=$(fixed "$bin/tools/phonesim/phonesim" current)
fixed_old=$(fixed "$base/build/tools/phonesim/phonesim" baseline)
wall_new=$(campaign "$bin" current)
wall_old=$(campaign "$base/build" baseline)
# The two campaigns must have judged every cut alike.
table() { sed -n '/^several:/,/^faults:/p' "$1"; }
same=yes
[ "$(table "$out/faults-current.log")" = "$(table "$out/faults-baseline.log")" ] || same=NO

awk -v n="$cuts" -v fn="$fixed_new" -v fo="$fixed_old" -v wn="$wall_new" -v wo="$wall_old" \
  -v rev="${want:0:12}" -v load="$load" -v same="$same" -v jobs="$(nproc)" 'BEGIN {
  printf "rehearse: %d cut runs in %.1f s, %.2f runs/s; phonesim fixed cost %.1f ms (median of run -- true)\n",
    n, wn, n / wn, fn * 1000
  printf "  baseline %s: %d cut runs in %.1f s, %.2f runs/s; phonesim fixed cost %.1f ms\n",
    rev, n, wo, n / wo, fo * 1000
  printf "  cut runs %.2fx as fast, fixed cost %.2fx as low; %d jobs; load average %s; same table: %s\n",
    wo / wn, fo / fn, jobs, load, same
}'

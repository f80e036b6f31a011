#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzzing build for a while and prints a
# table of what each did; exits non-zero when any harness crashed.
#
#   scripts/fuzz.sh [-b BUILD_DIR] [-o OUT_DIR] [-s SUMMARY] SECONDS
#   scripts/fuzz.sh [-b BUILD_DIR] [-o OUT_DIR] [-s SUMMARY] -w WALL_SECONDS
#
# SECONDS is each harness's time; with -w the time is chosen so that all of
# them together take about WALL_SECONDS on this machine. Harnesses run up
# to nproc at a time. Each starts from a fresh corpus in OUT_DIR/corpus/NAME
# made from tests/data/fuzz/NAME (and, for the ROM pack check, the golden
# packs): libFuzzer adds what it finds there, never to tests/data. Crash
# inputs go to OUT_DIR/artifacts/NAME/, logs to OUT_DIR/logs/NAME.log. With
# -s, one line for the whole run is appended to SUMMARY. The harnesses' own
# platform roots go to /dev/shm where there is one: the checks under test
# sync the files they stage, which on a disk costs more than the check.
set -uo pipefail

cd "$(dirname "$0")/.."
build=build/fuzz
out=build/fuzz
summary=
wall=
while getopts b:o:s:w: opt; do
  case $opt in
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    s) summary=$OPTARG ;;
    w) wall=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))

names=()
for src in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" _fuzz.cpp)
  if [ ! -x "$build/tests/fuzz/${name}_fuzz" ]; then
    echo "fuzz.sh: $build/tests/fuzz/${name}_fuzz is not built" >&2
    exit 2
  fi
  names+=("$name")
done
jobs=$(nproc)
if [ -n "$wall" ]; then
  # Rounds of nproc harnesses; about three seconds per round go to start
  # (loading the corpus) and exit (the leak check).
  rounds=$(((${#names[@]} + jobs - 1) / jobs))
  seconds=$((wall / rounds - 3))
  [ "$seconds" -ge 3 ] || seconds=3
else
  seconds=${1:?usage: scripts/fuzz.sh [-b BUILD_DIR] [-o OUT_DIR] [-s SUMMARY] SECONDS | -w WALL_SECONDS}
fi

rm -rf "$out/corpus" "$out/artifacts" "$out/logs"
mkdir -p "$out/logs"
for name in "${names[@]}"; do
  mkdir -p "$out/corpus/$name" "$out/artifacts/$name"
  [ -d "tests/data/fuzz/$name" ] && cp tests/data/fuzz/"$name"/* "$out/corpus/$name/"
  [ "$name" = rompack_check ] && cp tests/data/*.pack "$out/corpus/$name/"
done

roots=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && roots=/dev/shm
run() {
  local name=$1
  TMPDIR=$roots "$build/tests/fuzz/${name}_fuzz" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$name/" "$out/corpus/$name" >"$out/logs/$name.log" 2>&1
  echo $? >"$out/logs/$name.rc"
}

running=0
for name in "${names[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run "$name" &
  running=$((running + 1))
done
wait

crashed=()
slow=()
total=0
printf '%-14s %12s %8s %8s %8s  %s\n' harness executions per-s cov ft crashes
for name in "${names[@]}"; do
  log=$out/logs/$name.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  crashes=$(find "$out/artifacts/$name" -type f | wc -l)
  if [ "$(cat "$out/logs/$name.rc")" != 0 ] && [ "$crashes" -eq 0 ]; then
    crashes=1 # died without an artifact (startup, out of memory): see its log
  fi
  [ "$crashes" -gt 0 ] && crashed+=("$name")
  [ -n "$rate" ] && [ "$rate" -lt 1000 ] && slow+=("$name ($rate/s)")
  total=$((total + ${execs:-0}))
  printf '%-14s %12s %8s %8s %8s  %s\n' "$name" "${execs:--}" "${rate:--}" "${cov:--}" "${ft:--}" \
    "$crashes"
done

if [ ${#crashed[@]} -eq 0 ]; then
  line="fuzz: ${#names[@]} harnesses, $total runs, ${seconds} s each, no crash"
else
  line="fuzz: crash in ${crashed[*]}, see $out/logs and $out/artifacts"
fi
echo "$line"
# Not a failure, the machine may be busy; but a harness this slow usually
# starts a process, writes a file or sets up again for every input.
[ ${#slow[@]} -eq 0 ] || echo "fuzz.sh: under 1000 inputs a second: ${slow[*]}" >&2
[ -n "$summary" ] && echo "$line" >>"$summary"
[ ${#crashed[@]} -eq 0 ]

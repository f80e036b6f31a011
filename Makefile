# Thin wrapper over the CMake presets.
#   make check    install dependencies, then build and test host, asan,
#                 mipsel and tsan (the threaded units under ThreadSanitizer),
#                 then a short run of every fuzz harness, 20 cut points
#                 per pack of the power-cut campaign and the target check
#   make fuzz-smoke  that fuzz run alone (about FUZZ_SMOKE_WALL s, default 60)
#   make fuzz     every fuzz harness for FUZZ_SECONDS each (default 300)
#   make faults   the power-cut campaign at every flash operation of the
#                 packs in tests/data/faults, and 50 random layouts
#   make target-check  the shipped mipsel program on a MIPS kernel (Debian's
#                 Malta kernel under qemu-system-mipsel) with real MTD devices:
#                 six upgrades (two moving partitions) judged against phonesim's,
#                 and 8 power cuts of the moving pack ending as in phonesim
#                 (scripts/target-check.sh)
#   make faults-target  the power-cut campaign on that kernel at every flash
#                 operation of the moving and sliding packs, cut by cut
#                 against phonesim
#   make format   reformat the sources with clang-format
#   make guide    write the code tables of docs/guide.md from the code
#   make dist     the telephone's program as a tarball and the host tools
#                 as a Debian package, in dist/ (scripts/dist.sh)
#   make dist-check  install that package into a fresh Debian and try it
PRESETS := host asan mipsel tsan
SHELL := /bin/bash

FUZZ_SECONDS ?= 300
FUZZ_SMOKE_WALL ?= 60

.PHONY: check deps format $(addprefix test-,$(PRESETS)) release fuzz-smoke

check: deps
	@rm -f build/summary.txt; mkdir -p build; status=0; \
	for p in $(PRESETS); do \
	  $(MAKE) --no-print-directory test-$$p || status=1; \
	done; \
	$(MAKE) --no-print-directory fuzz-smoke || status=1; \
	$(MAKE) --no-print-directory faults-run FAULTS_SAMPLE=20 FAULTS_LAYOUTS=5 FAULTS_LAYOUT_CUTS=5 || status=1; \
	$(MAKE) --no-print-directory target-check || status=1; \
	echo "== summary =="; cat build/summary.txt; exit $$status

deps:
	@scripts/install-deps.sh

# One preset: configure, build, test; appends ctest's count line to the summary.
$(addprefix test-,$(PRESETS)): test-%:
	@set -o pipefail; mkdir -p build; \
	if cmake --preset $* && cmake --build --preset $*; then \
	  ctest --preset $* 2>&1 | tee build/ctest-$*.log; rc=$$?; \
	  line=$$(grep -E 'tests passed|No tests were found' build/ctest-$*.log | tail -n 1); \
	  echo "$*: $${line:-no test result}" >> build/summary.txt; exit $$rc; \
	else \
	  echo "$*: build failed" >> build/summary.txt; exit 1; \
	fi

# The libFuzzer harnesses (tests/fuzz), each on a copy of its seeds
# (libFuzzer adds what it finds to the copy, never to tests/data), up to
# nproc at a time; scripts/fuzz.sh prints a table per harness and fails on
# a crash. "make fuzz FUZZ_SECONDS=N" gives each harness N seconds; the
# smoke run of "make check" takes about FUZZ_SMOKE_WALL seconds in all and
# appends "fuzz: ... no crash" to the summary.
.PHONY: fuzz
fuzz:
	@mkdir -p build; cmake --preset fuzz && cmake --build --preset fuzz && \
	scripts/fuzz.sh $(FUZZ_SECONDS)

fuzz-smoke:
	@mkdir -p build; \
	if cmake --preset fuzz && cmake --build --preset fuzz; then \
	  scripts/fuzz.sh -s build/summary.txt -w $(FUZZ_SMOKE_WALL); \
	else \
	  echo "fuzz: build failed" >> build/summary.txt; exit 1; \
	fi

release:
	cmake --preset release && cmake --build --preset release

.PHONY: dist dist-check
dist: deps
	@scripts/dist.sh

dist-check: dist
	@scripts/dist-check.sh

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

.PHONY: screens
# docs/screens/: every screen of the upgrade UI as drawn by the code.
screens:
	cmake --preset host && cmake --build --preset host --target screensheet && build/host/tools/screensheet/screensheet docs/screens

.PHONY: guide
# The code tables of docs/guide.md, written again from the program's own
# definitions (tools/doctables); the host tests fail while they are stale.
guide:
	cmake --preset host && cmake --build --preset host --target doctables && build/host/tools/doctables/doctables docs/guide.md

.PHONY: demo bench bench-upgrade bench-rehearse bench-flash bench-minimum bench-target target-check faults-target
# Two upgrades of a simulated telephone, end to end, with a summary of each
# (scripts/demo.sh): a good pack installed and checked in flash, and a
# refused pack ending on the failure screen; then the good pack rehearsed on
# the example fleet with 10 power cuts per telephone (rehearse), with the
# path of its report.html. Everything lands in build/demo/.
demo: deps
	@scripts/demo.sh

# Benchmarks of the release build, printed, never judged: the flash writer
# against the stock tools, then against the least the chip must do, then a
# whole upgrade in phonesim, then phonesim's cost per run and the cut runs of
# a campaign against an old phonesim, then the program's size and memory on
# the target.
bench: deps
	@status=0; \
	$(MAKE) --no-print-directory bench-flash || status=1; \
	$(MAKE) --no-print-directory bench-minimum || status=1; \
	$(MAKE) --no-print-directory bench-upgrade || status=1; \
	$(MAKE) --no-print-directory bench-rehearse || status=1; \
	$(MAKE) --no-print-directory bench-target || status=1; \
	exit $$status

target-check:
	@scripts/install-deps.sh && scripts/target-check.sh

bench-target:
	@scripts/target-check.sh --bench

faults-target: deps
	@mkdir -p build; scripts/target-check.sh --faults

bench-upgrade:
	@bench/upgrade_bench.sh

bench-rehearse:
	@bench/rehearse_bench.sh

bench-flash:
	@cmake --preset release >/dev/null && \
	if cmake --build --preset release --target help | grep -q '^flash_bench:'; then \
	  cmake --build --preset release --target flash_bench && build/release/bench/flash_bench; \
	else \
	  echo "bench-flash: no flash_bench target in this tree, skipped"; \
	fi

bench-minimum:
	@cmake --preset release >/dev/null && \
	if cmake --build --preset release --target help | grep -q '^flash_minimum_bench:'; then \
	  cmake --build --preset release --target flash_minimum_bench && \
	  build/release/bench/flash_minimum_bench; \
	else \
	  echo "bench-minimum: no flash_minimum_bench target in this tree, skipped"; \
	fi

.PHONY: faults faults-run
FAULTS_PACKS := tests/data/faults/several.json tests/data/faults/moving.json
FAULTS_SAMPLE ?= 0
# Random layouts that move mtd3 and mtd4 in every relation to their old
# places (faults --layouts), with their own number of cuts each.
FAULTS_SEED ?= 2026
FAULTS_LAYOUTS ?= 50
FAULTS_LAYOUT_CUTS ?= 10

# The power-cut campaign (tools/faults) on the host build: a cut at every
# flash operation of a clean upgrade of each pack (FAULTS_SAMPLE=N: N of
# them, evenly spread), then a boot and the same upgrade again, judged; the
# full campaign also cuts sliding, whose blocks move over their old places,
# at every operation. Then FAULTS_LAYOUTS random layouts with
# FAULTS_LAYOUT_CUTS cuts each. Telephones in build/faults; those of a cut
# that lost something are kept. A line per cut on stderr; the summary lines
# "faults: N packs, ..." go into build/summary.txt, or else faults' last
# word (an error).
faults: deps
	@$(MAKE) --no-print-directory faults-run FAULTS_PACKS="$(FAULTS_PACKS) tests/data/faults/sliding.json"

faults-run:
	@set -o pipefail; mkdir -p build; \
	if cmake --preset host >/dev/null && cmake --build --preset host --target faults phonesim upgrader; then \
	  f="build/host/tools/faults/faults --phonesim build/host/tools/phonesim/phonesim \
	    --program build/host/src/upgrader/upgrader"; \
	  $$f --sample $(FAULTS_SAMPLE) $(FAULTS_PACKS) 2>&1 | tee build/faults.log; rc=$$?; \
	  $$f --work build/faults/random --sample $(FAULTS_LAYOUT_CUTS) \
	    --layouts random:$(FAULTS_SEED):$(FAULTS_LAYOUTS) 2>&1 | tee build/faults-layouts.log || rc=1; \
	  for log in build/faults.log build/faults-layouts.log; do \
	    line=$$(grep -E '^faults: [0-9]+ packs, ' $$log | tail -n 1); \
	    [ -n "$$line" ] || line=$$(grep '^faults: ' $$log | tail -n 1); \
	    echo "$${line:-faults: no result, see $$log}" >> build/summary.txt; \
	  done; exit $$rc; \
	else \
	  echo "faults: build failed" >> build/summary.txt; exit 1; \
	fi

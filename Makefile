# Thin wrapper over the CMake presets.
#   make check    install dependencies, then build and test host, asan and mipsel
#   make format   reformat the sources with clang-format
PRESETS := host asan mipsel
SHELL := /bin/bash

.PHONY: check deps format $(addprefix test-,$(PRESETS)) release

check: deps
	@rm -f build/summary.txt; mkdir -p build; status=0; \
	for p in $(PRESETS); do \
	  $(MAKE) --no-print-directory test-$$p || status=1; \
	done; \
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

release:
	cmake --preset release && cmake --build --preset release

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The two build trees and the commands of the README.
BUILD := build
WIN := $(BUILD)/win
HOST := $(BUILD)/host
FUZZ := $(BUILD)/fuzz
JOBS ?= $(shell nproc)

.PHONY: all win host fuzz-tree test demo bench fuzz chaos setup clean

all: win host fuzz-tree

setup:
	@scripts/setup.sh

$(WIN)/Makefile:
	@cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null

$(HOST)/Makefile:
	@cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Release -DWIN_BUILD_DIR=$(abspath $(WIN)) -DFUZZ_BUILD_DIR=$(abspath $(FUZZ)) >/dev/null

$(FUZZ)/Makefile:
	@cmake -S . -B $(FUZZ) -DMERIDOX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 >/dev/null

fuzz-tree: $(FUZZ)/Makefile
	@cmake --build $(FUZZ) -j$(JOBS)

win: $(WIN)/Makefile
	@cmake --build $(WIN) -j$(JOBS)

host: $(HOST)/Makefile
	@cmake --build $(HOST) -j$(JOBS)

# Runs every test: host unit tests, Windows unit tests and end-to-end tests
# under Wine. The bench is stopped whatever happens.
test: setup
	@$(MAKE) --no-print-directory all
	@scripts/run-tests.sh $(HOST)

demo: setup
	@$(MAKE) --no-print-directory all
	@examples/demo.sh

bench: setup
	@$(MAKE) --no-print-directory all
	@bench/run.sh

# Each fuzz target for FUZZ_SECONDS (default 600), then the full corruption
# campaign under Wine (CAMPAIGN_POSITIONS, default 1000).
fuzz: setup
	@scripts/fuzz.sh $(or $(FUZZ_SECONDS),600)

# The campaigns long: the users' campaign, CHAOS_RUNS (default 200) random
# wizard runs, CHAOS_SEED; the fault campaign at every crash point.
chaos: setup
	@$(MAKE) --no-print-directory all
	@CHAOS_RUNS=$(or $(CHAOS_RUNS),200) FAULT_POINTS=all CTEST_ARGS='-R ^e2e\.(chaos|faults)$$' scripts/run-tests.sh $(HOST)

clean:
	rm -rf $(BUILD)

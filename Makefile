# The two build trees and the commands of the README.
BUILD := build
WIN := $(BUILD)/win
HOST := $(BUILD)/host
JOBS ?= $(shell nproc)

.PHONY: all win host test demo bench fuzz setup clean

all: win host

setup:
	@scripts/setup.sh

$(WIN)/Makefile:
	@cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null

$(HOST)/Makefile:
	@cmake -S . -B $(HOST) -DCMAKE_BUILD_TYPE=Release -DWIN_BUILD_DIR=$(abspath $(WIN)) >/dev/null

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

fuzz: setup
	@scripts/fuzz.sh $(or $(SECONDS),600)

clean:
	rm -rf $(BUILD)

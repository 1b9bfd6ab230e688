# Friendly entry points. Each builds on the three CMake trees under $(BUILD): x86 (the shipped
# user-mode programs), x64 (the driver and its simulator) and x64u (the user-mode programs again for
# x86-64, the twins that are tested where 32-bit code cannot run; never shipped).
BUILD ?= build
# ONLY="a|b" builds only those parts (folders), e.g. ONLY="testing|service"
ONLY  ?=
DIST  ?= dist
JOBS  ?= $(shell nproc)
CMAKE_TREES = x86 x64 x64u
MAKEFLAGS += --no-print-directory
# Whether this host executes 32-bit code, probed once per make run and handed to every Wine run.
# TVX_HOST32=no makes a capable host act as one that cannot.
export TVX_HOST32 := $(shell scripts/host32)
# The twins' own installable set: the driver's files with the x86-64 user-mode programs.
TWIN_DIST = $(BUILD)/x64u/dist

.PHONY: all dist setup configure build test bench demo mutate clean

all: dist

setup:
	@scripts/setup
	@scripts/host32 --describe

configure: setup
	@for t in $(CMAKE_TREES); do \
	  dist=$(abspath $(DIST)); [ $$t = x64u ] && dist=$(abspath $(TWIN_DIST)); \
	  [ -f $(BUILD)/$$t/CMakeCache.txt ] || cmake --preset $$t -B $(BUILD)/$$t -DTVX_ONLY="$(ONLY)" -DTVX_DIST=$$dist -DTVX_SHIPPED_DIST=$(abspath $(DIST)) >/dev/null || exit 1; \
	done

build: configure
	@for t in $(CMAKE_TREES); do cmake --build $(BUILD)/$$t -j $(JOBS) || exit 1; done

# Both sets are made afresh, so no file of an earlier build lingers among the shipped ones.
dist: build
	@rm -rf $(DIST) $(TWIN_DIST)
	@mkdir -p $(DIST) $(TWIN_DIST)
	@for t in x86 x64; do cmake --install $(BUILD)/$$t --prefix $(abspath $(DIST)) >/dev/null || exit 1; done
	@for t in x64 x64u; do cmake --install $(BUILD)/$$t --prefix $(abspath $(TWIN_DIST)) >/dev/null || exit 1; done
	@echo "dist: $$(ls $(DIST) | tr '\n' ' ')"

test: dist
	cd $(BUILD)/x86 && ctest --output-on-failure $(CTEST_ARGS)

bench: build
	@scripts/bench $(BUILD)

# Likely mistakes put into the driver one at a time (Tarvex_Driver/tests/mutations.txt): which do
# the driver's tests catch? Not part of test: it builds and runs them once per mistake.
mutate: setup
	@scripts/mutate $(BUILD)

demo: dist
	@if [ -x scripts/demo ]; then scripts/demo $(BUILD); else echo "no demo yet"; fi

clean:
	@[ -d $(BUILD)/wineprefix ] && cmake/wine-run --prefix $(BUILD)/wineprefix --down; true
	rm -rf $(BUILD) $(DIST)

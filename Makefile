# Friendly entry points. Each builds on the three CMake trees under $(BUILD): x86 (the shipped
# user-mode programs), x64 (the driver and its simulator) and x64u (the user-mode programs again for
# x86-64, the twins that are tested where 32-bit code cannot run; never shipped).
BUILD ?= build
# ONLY="a|b" builds and tests only those parts (folders), e.g. ONLY="testing|Quillog|service"
ONLY  ?=
DIST  ?= dist
JOBS  ?= $(shell nproc)
CMAKE_TREES = x86 x64 x64u
MAKEFLAGS += --no-print-directory
# Whether this host executes 32-bit code, handed to every Wine run. It is asked when a recipe runs,
# not when the Makefile is read, so it sees Wine's 32-bit loader that setup has just installed.
# TVX_HOST32=no makes a capable host act as one that cannot.
TVX_HOST32_ASKED := $(TVX_HOST32)
export TVX_HOST32 = $(shell TVX_HOST32=$(TVX_HOST32_ASKED) scripts/host32)
# The twins' own installable set: the driver's files with the x86-64 user-mode programs.
TWIN_DIST = $(BUILD)/x64u/dist

.PHONY: all dist setup configure build test bench demo mutate clean

all: dist

# The first line of every run says when the trees are narrowed to some parts.
setup:
	@[ -z "$(ONLY)" ] || echo "narrowed: only the parts matching ONLY=\"$(ONLY)\" are built and tested; without ONLY= everything is"
	@scripts/setup
	@scripts/host32 --describe

# Each run hands ONLY and the dist folders to every tree; see scripts/configure for when it configures.
configure: setup
	@scripts/configure $(BUILD) $(abspath $(DIST)) $(abspath $(TWIN_DIST)) "$(ONLY)"

# make demo and make bench show their own story, not the build's progress; errors still reach stderr.
demo bench: QUIET = >/dev/null
build: configure
	@for t in $(CMAKE_TREES); do cmake --build $(BUILD)/$$t -j $(JOBS) $(QUIET) || exit 1; done

# Both sets are made afresh, so no file of an earlier build lingers among the shipped ones; each
# shipped file is stripped and signed on the way (its debug file goes to dist-debug/).
dist: build
	@rm -rf $(DIST) $(TWIN_DIST) $(DIST)-debug $(TWIN_DIST)-debug
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
	rm -rf $(BUILD) $(DIST) $(DIST)-debug

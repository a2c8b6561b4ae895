# The front door. Every target installs what is missing first, so each works
# on a fresh Debian 12 machine as root.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo bench clean fuzz fuzz-smoke

all: build

deps:
	@sh scripts/install-deps

configure: deps
	@cmake --preset default -B $(BUILD) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@sh scripts/run-tests $(BUILD)
	@$(MAKE) --no-print-directory fuzz-smoke

demo: build
	@bash scripts/demo $(BUILD)

# The stub against an NSIS installer and against cp plus setup; kept apart
# from the tests. BENCH_RUNS sets the measured rounds (default 7).
bench: build
	@sh scripts/install-deps nsis gnuplot-nox
	@python3 scripts/bench $(BUILD)

clean:
	rm -rf $(BUILD)

# Native ASan/UBSan/libFuzzer runs of the pure text code, outside the Windows
# build: `fuzz` runs every target 1,000,000 times, `fuzz-smoke` 10,000 times.
fuzz fuzz-smoke:
	@sh scripts/install-deps clang-14 libclang-rt-14-dev libfuzzer-14-dev
	@$(MAKE) --no-print-directory -j $(JOBS) -f fuzz/fuzz.mk build
	@$(MAKE) --no-print-directory -f fuzz/fuzz.mk $@

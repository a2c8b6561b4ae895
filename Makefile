# The front door. Every target installs what is missing first, so each works
# on a fresh Debian 12 machine as root.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test test-wine10 demo bench clean fuzz fuzz-smoke

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

# The test bundle under Wine 10 as well, in a Debian 13 root made once
# (debootstrap, from the mirror apt uses here) and kept in the build folder:
# with Wine's default limited token, elevated, and the crash rows under the
# strict cabinet double. A root that cannot be made is a line, not a failure.
test-wine10: build
	@python3 scripts/test-wine10 $(BUILD)

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
# Then the release tools' readers, each 100,000 or 1,000 times, seeded with
# what the build made (a build is needed for their seeds).
READER_SEEDS = $(BUILD)/stub/installer_stub.exe \
  $(BUILD)/tests/end_to_end/cabinet.exe $(BUILD)/tests/end_to_end/plain.exe \
  $(BUILD)/tests/end_to_end/product.7z $(BUILD)/resources/installer.ico
fuzz: READER_RUNS = 100000
fuzz-smoke: READER_RUNS = 1000
fuzz fuzz-smoke:
	@sh scripts/install-deps clang-14 libclang-rt-14-dev libfuzzer-14-dev
	@$(MAKE) --no-print-directory -j $(JOBS) -f fuzz/fuzz.mk build
	@$(MAKE) --no-print-directory -f fuzz/fuzz.mk $@
	@if [ -f $(BUILD)/stub/installer_stub.exe ]; then \
	  python3 tools/release_tools/reader_fuzz.py $(READER_RUNS) \
	    $(BUILD)/findings-readers $(READER_SEEDS); \
	else echo "release-tool readers: not fuzzed (make build first)"; fi

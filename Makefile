# The front door. Every target installs what is missing first, so each works
# on a fresh Debian 12 machine as root.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo clean

all: build

deps:
	@sh scripts/install-deps

configure: deps
	@cmake --preset default -B $(BUILD) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@sh scripts/run-tests $(BUILD)

clean:
	rm -rf $(BUILD)

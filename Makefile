# Two entry points: `make run` and `make test`. Both install what is missing,
# configure and build for 32-bit x86 Linux.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all setup configure build run test clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The ramp simulation with its default parameters. It runs in the build
# directory, where it creates (and removes again) its matrix file.
run: build
	@cd $(BUILD_DIR) && ./bin/zorvath

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

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

# Until the ramp simulation exists, run the plate tool with a sample plate.
run: build
	@echo "zorvath is not built yet; running quellmark with a sample plate (1 m x 1 m x 0.01 m, armour 5):"
	@$(BUILD_DIR)/bin/quellmark 1 1 0.01 5

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)

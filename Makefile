# Two entry points: `make run` and `make test`. Both install what is missing,
# configure and build for 32-bit x86 Linux. `make sanitize` builds the tree
# once more under the sanitizers and runs every test there.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
# Test programs run at build time too (test discovery), so both need it.
TEST_ENV = eval "$$(scripts/test_env.sh)" &&

.PHONY: all setup configure build run test sanitize clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@$(TEST_ENV) cmake --build $(BUILD_DIR) -j $(JOBS)

# The ramp simulation with its default parameters. It runs in the build
# directory, where it creates (and removes again) its matrix file.
run: build
	@cd $(BUILD_DIR) && ./bin/zorvath

test: build
	@$(TEST_ENV) cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Undefined-behaviour and address sanitizers (cmake/sanitize.cmake says which
# modules get which); a finding fails its test. Benchmarks are left out.
sanitize: setup
	@cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_SANITIZE=ON \
	  -DZV_BUILD_BENCH=OFF >/dev/null
	@$(TEST_ENV) cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@$(TEST_ENV) cd $(SANITIZE_DIR) && UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)

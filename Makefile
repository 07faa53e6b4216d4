# Two entry points: `make run` and `make test`. Both install what is missing,
# configure and build for 32-bit x86 Linux. `make sanitize` builds the tree
# once more under the sanitizers and runs every test there.
BUILD_DIR ?= build
SANITIZE_DIR ?= build-sanitize
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
# Test programs run at build time too (test discovery), so both need it.
TEST_ENV = eval "$$(scripts/test_env.sh)" &&
# Ninja: a build with nothing to do answers at once. A tree is configured
# once (until it has a build.ninja); later, Ninja re-runs CMake itself when a
# CMakeLists changes. A tree configured by another generator starts afresh.
GENERATOR = Ninja
configure_tree = \
  if [ ! -f $(1)/build.ninja ] || \
     ! grep -qx 'CMAKE_GENERATOR:INTERNAL=$(GENERATOR)' $(1)/CMakeCache.txt 2>/dev/null; then \
    rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles && \
    cmake -S . -B $(1) -G $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(2) >/dev/null; \
  fi

.PHONY: all setup configure build run test sanitize clean

all: build

setup:
	@bash scripts/setup.sh

configure: setup
	@$(call configure_tree,$(BUILD_DIR))

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
	@$(call configure_tree,$(SANITIZE_DIR),-DZV_SANITIZE=ON -DZV_BUILD_BENCH=OFF)
	@$(TEST_ENV) cmake --build $(SANITIZE_DIR) -j $(JOBS)
	@$(TEST_ENV) cd $(SANITIZE_DIR) && UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR)

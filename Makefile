# Entry points for building, running and testing. CMake does the work; each
# configuration has its own build folder.
JOBS ?= 2
GENERATOR := $(if $(shell command -v ninja),-G Ninja,)
# Rebuilds in several checkouts share one compiler cache.
LAUNCHER = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache,)
DEPS := scripts/install-deps.sh

# Tests that drive a built program or script from outside (tests/**/*_test.sh)
# run after the GoogleTest suites, against the same build folder.
SCRIPT_TESTS := $(sort $(shell find tests -name '*_test.sh'))

.PHONY: help deps build run test test-asan test-tsan test-image sys tidy abi-check format bench fuzz soak mutants clean

help:
	@echo "make run        build and run the main job (t7315 demo)"
	@echo "make test       build and run every test"
	@echo "make build      build the tool and the tests, optimised with debug information (build/)"
	@echo "make test-asan  every test under AddressSanitizer and UBSan (build-asan/)"
	@echo "make test-tsan  every test under ThreadSanitizer (build-tsan/)"
	@echo "make test-image run the suites that reach the driver through IRPs against the Windows image"
	@echo "make sys        cross-compile and check the Windows kernel image and its package (build-sys/package/)"
	@echo "make tidy       clang-tidy over the driver; any finding fails (uses build/)"
	@echo "make abi-check  clang syntax pass over every source: the kernel calling convention (uses build/)"
	@echo "make format     format every C++ file with .clang-format (CI checks it)"
	@echo "make bench      build and run the receive-path benchmark (build-bench/)"
	@echo "make fuzz       run every fuzz target for FUZZ_SECONDS each (clang, libFuzzer; build-fuzz/)"
	@echo "make soak       random removals (SEEDS), 100 MB a port (SOAK_BYTES), serve under bad clients (SOAK_SECONDS)"
	@echo "make mutants    plant the faults of tests/mutants/*.txt one by one and tell which the tests catch"
	@echo "make deps       install missing packages"
	@echo "make clean      remove every build folder"

deps:
	@$(DEPS)

# $(call run_tests,DIR[,WRAPPER]): every test against the build in DIR, each
# test program started through WRAPPER when one is given.
define run_tests
	@for test in $(SCRIPT_TESTS); do T7315_BUILD_DIR=$(1) $(2) $$test || exit 1; done
	$(2) ctest --test-dir $(1) --output-on-failure -j $(JOBS)
endef

# ThreadSanitizer cannot map its shadow memory when the kernel randomises
# addresses with more entropy than it was built for; its tests run without.
NO_ASLR := setarch $(shell uname -m) -R

# $(call configure,DIR,CMAKE_ARGS): the generator is chosen when the folder is
# first configured; later runs keep it and only refresh the cache.
define configure
	@$(DEPS)
	@cmake -S . -B $(1) $(if $(wildcard $(1)/CMakeCache.txt),,$(GENERATOR)) $(LAUNCHER) $(2) >/dev/null
endef

# Optimised with debug information: the tool runs the emulation in real time.
# The sanitizer builds stay Debug.
build:
	$(call configure,build,-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build build -j $(JOBS)

run: build
	build/t7315 demo

test: build
	$(call run_tests,build)

test-asan:
	$(call configure,build-asan,-DCMAKE_BUILD_TYPE=Debug -DT7315_SANITIZE=address)
	cmake --build build-asan -j $(JOBS)
	$(call run_tests,build-asan)

test-tsan:
	$(call configure,build-tsan,-DCMAKE_BUILD_TYPE=Debug -DT7315_SANITIZE=thread)
	cmake --build build-tsan -j $(JOBS)
	$(call run_tests,build-tsan,$(NO_ASLR))

sys:
	$(call configure,build-sys,-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
	cmake --build build-sys -j $(JOBS)
	scripts/check-sys.sh build-sys/t7315ser.sys
	scripts/check-package.sh build-sys/package

# The Windows image in place of the natively built driver, for every suite
# that reaches it through IRPs (scripts/test-image.sh lists them).
test-image: build sys
	JOBS=$(JOBS) scripts/test-image.sh build build-sys/t7315ser.sys

# Needs only the compile commands of a configured build folder.
abi-check:
	$(call configure,build,-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	JOBS=$(JOBS) scripts/abi-check.py build

# Needs only the compile commands of a configured build folder.
tidy:
	$(call configure,build,-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	scripts/tidy.sh build

format:
	@$(DEPS)
	scripts/format.sh

bench:
	$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release)
	cmake --build build-bench --target bench_receive -j $(JOBS)
	build-bench/bench_receive

# libFuzzer targets of fuzz/, built with clang; each runs FUZZ_SECONDS and
# any finding fails (scripts/fuzz.sh). The compiler is chosen when the folder
# is first configured.
FUZZ_SECONDS ?= 60
fuzz:
	$(call configure,build-fuzz,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DT7315_FUZZ=ON $(if $(wildcard build-fuzz/CMakeCache.txt),,-DCMAKE_CXX_COMPILER=clang++))
	cmake --build build-fuzz --target fuzz_targets -j $(JOBS)
	scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS)

# Long runs, not part of make test: removal at random instants for every
# seed of SEEDS (a failure prints its seed), SOAK_BYTES through every port at
# each rate and flow control on the virtual clock (t7315 soak), and
# SOAK_SLOW_BYTES to a reader slower than the line that receive flow control
# (RTS/CTS, XON/XOFF, DTR/DSR) must protect,
# and serve under misbehaving clients and restarts for SOAK_SECONDS.
SEEDS ?= 1-5000
SOAK_BYTES ?= 100M
SOAK_SLOW_BYTES ?= 8M
SOAK_SECONDS ?= 600
soak: build
	T7315_SEEDS=$(SEEDS) build/test_rig --gtest_filter='RandomRemoval.*' --gtest_brief=1
	build/t7315 soak --bytes $(SOAK_BYTES)
	build/t7315 soak --bytes $(SOAK_SLOW_BYTES) --flow rtscts,xonxoff,dtrdsr --slow-reader
	scripts/soak-serve.py build/t7315 --seconds $(SOAK_SECONDS)

# Faults planted one at a time (scripts/mutants.py); MUTANTS picks the lists.
MUTANTS ?= $(wildcard tests/mutants/*.txt)
mutants:
	$(call configure,build-mutants,-DCMAKE_BUILD_TYPE=Debug)
	cmake --build build-mutants -j $(JOBS)
	scripts/mutants.py --jobs $(JOBS) $(MUTANTS)

clean:
	rm -rf build build-asan build-tsan build-sys build-bench build-mutants build-fuzz

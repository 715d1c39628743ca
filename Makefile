# Entry points for building, running and testing. CMake does the work; each
# configuration has its own build folder.
JOBS ?= 2
GENERATOR := $(if $(shell command -v ninja),-G Ninja,)
DEPS := scripts/install-deps.sh

.PHONY: help deps build run test test-asan test-tsan sys test-sys clean

help:
	@echo "make run        build and run the main job (t7315 selfcheck)"
	@echo "make test       build and run every test"
	@echo "make build      build the tool and the tests (build/)"
	@echo "make test-asan  every test under AddressSanitizer and UBSan (build-asan/)"
	@echo "make test-tsan  every test under ThreadSanitizer (build-tsan/)"
	@echo "make sys        cross-compile and check the Windows kernel image (build-sys/t7315ser.sys)"
	@echo "make test-sys   test the kernel image checker on broken images"
	@echo "make deps       install missing packages"
	@echo "make clean      remove every build folder"

deps:
	@$(DEPS)

# $(call configure,DIR,CMAKE_ARGS): configure once; later runs reuse the
# folder's generator and cache (CMake re-globs sources by itself).
define configure
	@$(DEPS)
	@test -f $(1)/CMakeCache.txt || cmake -S . -B $(1) $(GENERATOR) $(2)
endef

build:
	$(call configure,build,-DCMAKE_BUILD_TYPE=Debug)
	cmake --build build -j $(JOBS)

run: build
	build/t7315 selfcheck

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan:
	$(call configure,build-asan,-DCMAKE_BUILD_TYPE=Debug -DT7315_SANITIZE=address)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan:
	$(call configure,build-tsan,-DCMAKE_BUILD_TYPE=Debug -DT7315_SANITIZE=thread)
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

sys:
	$(call configure,build-sys,-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
	cmake --build build-sys -j $(JOBS)
	scripts/check-sys.sh build-sys/t7315ser.sys

test-sys:
	@$(DEPS)
	tests/sys/check_sys_test.sh

clean:
	rm -rf build build-asan build-tsan build-sys

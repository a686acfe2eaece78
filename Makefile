# Set-up commands. Each one installs what is missing, configures, builds,
# then runs or tests.
#   make run    the window against the built-in simulated instrument
#   make test   every test
#   make fuzz   the fuzz targets under libFuzzer (clang), FUZZ_SECONDS each
#   make package  the Debian package, left in $(BUILD)/
#   make windows  the Windows release (cross-built), left in $(WINDOWS_BUILD)/
#   make test-windows  the Windows tests under Wine
BUILD ?= build
WINDOWS_BUILD ?= build-windows
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DZELVO_WERROR=ON
endif
JOBS ?= $(shell nproc)
# The suites wait far more than they compute (a dock's pace, the design's
# time-outs, on the manual clock or not): twice as many run at once as there
# are cores.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))

.PHONY: all bootstrap configure build run test test-asan fuzz bench package windows test-windows clean

all: build

bootstrap:
	@scripts/bootstrap.sh

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: bootstrap $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	scripts/run.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(TEST_JOBS)

# The same suite under the address and undefined-behaviour sanitizers.
test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELVO_SANITIZE=ON -DZELVO_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Every fuzz target as a libFuzzer executable (clang, address and
# undefined-behaviour sanitizers, libraries instrumented for coverage), each
# run for FUZZ_SECONDS from its corpus in fuzz/corpus/. Warnings are the gcc
# build's business; this build does not make them errors.
fuzz: bootstrap
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZELVO_FUZZ=ON -DZELVO_SANITIZE=ON -DZELVO_BENCH=OFF -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz-targets
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	scripts/bench.sh $(BUILD)

# The Debian package (CPack), as $(BUILD)/zelvo-flash-utility_VERSION_ARCH.deb.
package: build
	cd $(BUILD) && cpack -G DEB

# The Windows release, cross-built with MinGW-w64 against Qt for Windows:
# dist/ (the programs with their DLLs), the zip and the NSIS installer. The
# programs of the build that run during it (sample firmware) run under Wine.
# Warnings are shown, not made errors: MinGW's gcc reports overflows in code
# that its Linux twin, which gates the tree, does not.
windows:
	@scripts/bootstrap.sh windows
	scripts/windows-build.sh $(WINDOWS_BUILD) $(JOBS)

# Every Windows test suite under Wine, then the command line end to end under
# Wine against the Linux simulator through a network dock, and the release.
test-windows: windows build
	scripts/test-windows.sh $(WINDOWS_BUILD) $(BUILD) $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WINDOWS_BUILD)

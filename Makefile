# Set-up commands. Each one installs what is missing, configures, builds,
# then runs or tests.
#   make run    the window against the built-in simulated instrument
#   make test   every test
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DZELVO_WERROR=ON
endif
JOBS ?= $(shell nproc)

.PHONY: all bootstrap configure build run test test-asan bench clean

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
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same suite under the address and undefined-behaviour sanitizers.
test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELVO_SANITIZE=ON -DZELVO_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: build
	scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

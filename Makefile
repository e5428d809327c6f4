# The two commands of the README:
#   make demo   installs what is missing, builds, runs the demonstrations (crypto tour, file over uTP)
#   make test   installs what is missing, builds, runs every test (C++ and both Pythons; the
#               Windows legs: the C++ tests cross-built for 64-bit Windows and run under Wine,
#               the 32-bit build compiled and linked)
# Also: make bench (benchmarks with ratios), make asan / make tsan (sanitizer test runs),
#       make fuzz (fuzz targets, clang), make test-linux / make test-windows (one side's tests
#       of an existing build).

BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all deps configure build demo test test-linux test-windows bench asan tsan fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null || cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@$(BUILD)/py2 examples/demo.py
	@echo
	@$(BUILD)/py2 examples/stream_demo.py

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-linux:
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE windows

test-windows:
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L windows

bench: build
	@bash bench/run.sh $(BUILD)

asan:
	@$(MAKE) --no-print-directory test BUILD=build-asan CMAKE_ARGS="-DQN_SANITIZE_ADDRESS=ON -DQN_BUILD_BENCH=OFF -DQN_WINDOWS_LEGS=OFF"

tsan:
	@$(MAKE) --no-print-directory test BUILD=build-tsan CMAKE_ARGS="-DQN_SANITIZE_THREAD=ON -DQN_BUILD_BENCH=OFF -DQN_WINDOWS_LEGS=OFF"

fuzz: deps
	@cmake -S . -B build-fuzz -DQN_FUZZ=ON -DBUILD_TESTING=OFF -DQN_WINDOWS_LEGS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-pip

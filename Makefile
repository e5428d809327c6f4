# The commands (see the README's "Which command when"):
#   make demo    installs what the module needs, builds only the two Python modules, runs the
#                demonstrations (a crypto tour, a file sent over uTP between two processes)
#   make check   the Linux tests: builds and runs the C++ suites and both Pythons' tests
#                (no pip install legs, no Windows legs)
#   make test    every test, as CI runs it: the Linux tests, the pip install legs, and the
#                Windows legs (the C++ tests cross-built for 64-bit Windows and run under Wine,
#                the 32-bit build compiled and linked, the module for 32-bit Python 2.7 and
#                64-bit Python 3 in build/dist/ with its import and export tables checked)
#   make asan / make tsan   the Linux tests under AddressSanitizer+UBSan / ThreadSanitizer
#   make bench   the benchmarks, printing ratios against their baselines
#   make fuzz    the fuzz targets (clang)
#   make test-linux / make test-windows   one side's tests of an existing build
# One test: cd build && ctest -R <name regex> --output-on-failure

BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
# The Linux tests: everything but the Windows legs and the pip install legs.
LINUX_TESTS := -LE 'windows|install'

.PHONY: all demo check test test-linux test-windows bench asan tsan fuzz clean

all: check

# Configures $(BUILD) with $(1) after installing the package set $(2); quiet unless it fails.
define configure
	@bash scripts/install-deps.sh $(2)
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) $(1) $(CMAKE_ARGS) >$(BUILD)/configure.log 2>&1 || { cat $(BUILD)/configure.log; exit 1; }
endef

demo:
	$(call configure,-DBUILD_TESTING=OFF -DQN_BUILD_BENCH=OFF -DQN_WINDOWS_LEGS=OFF,demo)
	@echo "building the module (log: $(BUILD)/build.log)"
	@cmake --build $(BUILD) -j $(JOBS) >$(BUILD)/build.log 2>&1 || { tail -50 $(BUILD)/build.log; exit 1; }
	@$(BUILD)/py2 examples/demo.py
	@echo
	@$(BUILD)/py2 examples/stream_demo.py

check:
	$(call configure,-DBUILD_TESTING=ON -DQN_BUILD_BENCH=OFF -DQN_WINDOWS_LEGS=OFF,check)
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(LINUX_TESTS)

test:
	$(call configure,-DBUILD_TESTING=ON -DQN_BUILD_BENCH=ON -DQN_WINDOWS_LEGS=ON,test)
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-linux:
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(LINUX_TESTS)

test-windows:
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L windows

bench:
	$(call configure,-DBUILD_TESTING=ON -DQN_BUILD_BENCH=ON,test)
	@cmake --build $(BUILD) -j $(JOBS)
	@bash bench/run.sh $(BUILD)

asan:
	@$(MAKE) --no-print-directory check BUILD=build-asan CMAKE_ARGS="-DQN_SANITIZE_ADDRESS=ON"

tsan:
	@$(MAKE) --no-print-directory check BUILD=build-tsan CMAKE_ARGS="-DQN_SANITIZE_THREAD=ON"

fuzz:
	@bash scripts/install-deps.sh test
	@cmake -S . -B build-fuzz -DQN_FUZZ=ON -DBUILD_TESTING=OFF -DQN_WINDOWS_LEGS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-pip

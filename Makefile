# The two commands a newcomer types: `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build programs package check-package run run-gui test test-asan test-tsan bench device-suite install \
  fuzz clean windows test-windows dist-windows arm64 test-arm64

all: build

deps:
	./scripts/install-deps.sh

# Configured once: a build folder that has been configured is built as it
# stands (the build itself re-runs CMake when a CMakeLists.txt changed);
# `make configure` configures it again, e.g. with other CMAKE_FLAGS.
CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DZENTROVA_WERROR=ON $(CMAKE_FLAGS)
configure: deps
	$(CONFIGURE)

$(BUILD_DIR)/CMakeCache.txt:
	./scripts/install-deps.sh
	$(CONFIGURE)

# Everything: both programs, the tests and the benchmarks.
build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Only the two programs, for `make run` and `make run-gui`.
programs: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target programs

# A real sieve on a built-in default range: the 1000 even bases of b^65536+1
# from 1200000 to 1201998, sieved by every candidate p up to 5e13 (some
# seconds on two cores), written to run/.
run: programs
	mkdir -p run
	$(BUILD_DIR)/src/zentrova new --exponent 65536 --bmin 1200000 --bmax 1201998 \
	  --factors-out run/factors.txt --sieve-out run/candidates.txt \
	  --p-max 5e13 --force

# The desktop program (its parameter file and log in ~/.config/zentrova).
run-gui: programs
	$(BUILD_DIR)/src/zentrova-gui

# Both programs, the desktop entry and the icon under PREFIX (default /usr/local).
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# dist/zentrova_VERSION_ARCH.deb (cmake/Packaging.cmake): both programs,
# their manual pages, bash completion, the desktop entry and metainfo.
package: build
	cd $(BUILD_DIR) && cpack -G DEB

# The package as a user meets it: lintian, then installed, checked and
# removed again (scripts/check-package.sh; root, as on CI).
check-package: package
	./scripts/install-deps.sh package
	lintian --fail-on error,warning $$(ls -t dist/zentrova_*_$$(dpkg --print-architecture).deb | head -n 1)
	./scripts/check-package.sh

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# threaded jobs under ThreadSanitizer (CI runs both after `make test`).
# (The desktop program and MPI stay out: Qt's and Open MPI's own start-up
# allocations read as leaks. The exchange between processes is checked there
# too, over the in-process transport of the cluster tests.)
SANITIZE_FLAGS = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTROVA_BENCH=OFF -DZENTROVA_GUI=OFF \
  -DZENTROVA_MPI=OFF $(CMAKE_FLAGS)
THREADED_TESTS = (NormalJobs|WideJobs|PackedSieve|GfnThread|ResumeInPlace|WorkerPool|Cluster|Device|SieveLoop)\.

test-asan: deps
	cmake -S . -B build-asan $(SANITIZE_FLAGS) -DZENTROVA_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan $(SANITIZE_FLAGS) -DZENTROVA_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -R '$(THREADED_TESTS)'

bench: build
	$(BUILD_DIR)/src/zentrova bench

# The measure of a machine with a graphics card (bench/device-suite.sh): the
# machine, a CPU-identical check on the device, P/day per GPU kernel and the
# thread scaling, in one Markdown report (device-report.md). DEVICE=opencl:0
# runs it on PoCL; SUITE_ARGS passes more, e.g. "--seconds 5 --out r.md".
DEVICE ?= gpu
SUITE_ARGS ?=
device-suite: build
	bench/device-suite.sh --device $(DEVICE) --bin $(BUILD_DIR)/src/zentrova $(SUITE_ARGS)

# Every reader of an input file under libFuzzer (with ASan and UBSan), each
# for FUZZ_SECONDS, on a working copy of its seed corpus in build-fuzz; the
# first finding stops the run with its input kept in build-fuzz/fuzz-work.
FUZZ_SECONDS ?= 60
fuzz:
	./scripts/install-deps.sh fuzz
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZENTROVA_FUZZ=ON -DZENTROVA_TESTS=OFF -DZENTROVA_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target zentrova_fuzzers
	tests/fuzz/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# 64-bit Windows: zentrova.exe and the Windows test program, cross-built with
# MinGW-w64 (cmake/mingw-w64-x86_64.cmake) in build-windows/.
WINDOWS_DIR ?= build-windows
windows:
	./scripts/install-deps.sh windows
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZENTROVA_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(WINDOWS_DIR) -j $(JOBS)

# The engine's tests under Wine, then zentrova.exe against the Linux zentrova
# on the same jobs, file for file (tests/windows/compare-with-linux.sh).
test-windows: windows build
	WINEDEBUG=-all WINEPREFIX=$(CURDIR)/$(WINDOWS_DIR)/wineprefix wine wineboot -i > /dev/null 2>&1 || true
	WINEDEBUG=-all WINEPREFIX=$(CURDIR)/$(WINDOWS_DIR)/wineprefix \
	  wine $(WINDOWS_DIR)/tests/zentrova_tests.exe
	WINEPREFIX=$(CURDIR)/$(WINDOWS_DIR)/wineprefix tests/windows/compare-with-linux.sh \
	  $(WINDOWS_DIR)/src/zentrova.exe $(BUILD_DIR)/src/zentrova $(WINDOWS_DIR)/compare

# dist/zentrova-VERSION-windows-x64.zip (the program, the README, the
# licence) and its SHA-256.
dist-windows: windows
	./scripts/dist-windows.sh $(WINDOWS_DIR)

# 64-bit ARM Linux: zentrova and the engine's tests, cross-built with
# Debian's aarch64 cross compiler (cmake/aarch64-linux-gnu.cmake) in
# build-arm64/, the portable kernels only.
ARM64_DIR ?= build-arm64
arm64:
	./scripts/install-deps.sh arm64
	cmake -S . -B $(ARM64_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DZENTROVA_WERROR=ON -DZENTROVA_GUI=OFF -DZENTROVA_MPI=OFF \
	  -DZENTROVA_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ARM64_DIR) -j $(JOBS)

# The engine's tests under qemu-aarch64 (ctest runs them through the
# toolchain's emulator), then the arm64 zentrova against the x86-64 one on
# the same jobs, file for file (tests/arm64/compare-with-x86.sh). Timings
# under emulation say nothing about an ARM processor's speed.
# Left out: the tests that run the zentrova program itself (those of
# tests/cli and tests/crash, and three of the packed K and wide jobs'): an
# arm64 program started from the emulated tests is not emulated in turn. The
# script runs that program instead.
ARM64_LEFT_OUT = ^(Cli[A-Za-z]*|SideCommands|MergeCommand|StrictReaders[A-Za-z]*|ManPage|BashCompletion|Crash|FullDisk)\.|^CreatePackedK\.(HiddenFileBytesOptionRollsOverAndExitsZero|FullDiskEndsWithTheReasonAndALaterRunContinuesExactly|KilledWriterLosesOnlyItsLastSecondAndRepeatsNothing)$$|^WideJobs\.TheCommandLineRefuses
test-arm64: arm64 $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target zentrova
	cd $(ARM64_DIR) && ctest --output-on-failure -j $(JOBS) -E '$(ARM64_LEFT_OUT)'
	tests/arm64/compare-with-x86.sh $(ARM64_DIR)/src/zentrova $(BUILD_DIR)/src/zentrova \
	  $(ARM64_DIR)/compare

clean:
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz $(WINDOWS_DIR) $(ARM64_DIR)

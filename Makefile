# The two commands of the README: `make run` and `make test`. Both install what is missing first.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build windows msi run test test-sanitize fuzz fuzz-ci bench format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# tarnel.dll and its test host, cross-built with mingw-w64 (windows/). The mesh preview is built with them
# when VTK for Windows is in its cache (scripts/build-vtk-windows.sh makes it, once per machine).
WINDOWS_BUILD ?= build-windows
windows: deps
	@vtk=$$(scripts/vtk-windows-prefix.sh 2>/dev/null || true); \
	[ -n "$$vtk" ] || echo "windows: building without the mesh preview, and its Wine tests will be skipped:" \
		"VTK for Windows is not built here (scripts/build-vtk-windows.sh builds it once, in about half an hour on two cores)"; \
	cmake -S windows -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/toolchain-mingw64.cmake \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNEL_VTK_WINDOWS="$$vtk" >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j$(JOBS)

# The Windows installer, build-windows/tarnel.msi: its registry rows come from registering the module with
# this build's registrar (packaging/windows/make-msi.sh).
msi: build windows
	@packaging/windows/make-msi.sh $(WINDOWS_BUILD) $(BUILD) >/dev/null

run: build
	@scripts/make-samples.sh $(BUILD)/bin/make_samples
	@scripts/run-samples.sh $(BUILD)/bin/tarnel
	@scripts/folder-picture.sh $(BUILD)/bin/tarnel $(BUILD)/bin/make_samples out/folder.png && \
		echo "out/folder.png: the samples as a file manager shows them"

test: build windows msi
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@$(MAKE) --no-print-directory test-sanitize

# The whole suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTARNEL_SANITIZE=ON >/dev/null
	@cmake --build build-sanitize -j$(JOBS)
	@cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 ctest --output-on-failure -j$(JOBS)

# libFuzzer builds of the fuzz targets (clang); FUZZ_SECONDS each. `make fuzz-ci` instead runs a fixed
# number of inputs from a fixed seed, so that the same tree always gives the same verdict. After its run each
# target's libraries must carry coverage counters and its committed seeds must cover the share of each function
# it names in fuzz/CMakeLists.txt (scripts/fuzz-reaches.sh).
FUZZ_SECONDS ?= 60
FUZZ_LIMIT ?= -max_total_time=$(FUZZ_SECONDS)
fuzz-ci:
	@$(MAKE) --no-print-directory fuzz FUZZ_LIMIT="-runs=$(FUZZ_RUNS) -seed=1"
FUZZ_RUNS ?= 20000
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNEL_FUZZ=ON \
		-DTARNEL_SANITIZE=ON -DTARNEL_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j$(JOBS)
	@for t in build-fuzz/bin/fuzz_*; do \
		name=$$(basename $$t); mkdir -p build-fuzz/corpus/$$name build-fuzz/artifacts; \
		echo "fuzz: $$name ($(FUZZ_LIMIT))"; \
		$$t $(FUZZ_LIMIT) -timeout=10 -rss_limit_mb=2048 \
			-artifact_prefix=build-fuzz/artifacts/$$name- -print_final_stats=1 \
			build-fuzz/corpus/$$name fuzz/corpus/$$name || exit 1; \
		scripts/fuzz-reaches.sh $$t build-fuzz/fuzz/$$name.reaches build-fuzz/fuzz/$$name.libraries \
			fuzz/corpus/$$name || exit 1; \
	done
	@scripts/fuzz-gate-check.sh build-fuzz/bin/fuzz_dib build-fuzz/fuzz/fuzz_dib.reaches

# Benchmarks: medians of BENCH_REPETITIONS runs each, in one run so that ratios compare like with like.
BENCH_REPETITIONS ?= 10
bench: build
	@BENCH_REPETITIONS=$(BENCH_REPETITIONS) scripts/bench.sh $(BUILD)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h' '*.cxx')

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz $(WINDOWS_BUILD) out

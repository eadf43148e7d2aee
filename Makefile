# Convenience front end over CMake.  The commands for people:
#   make example   builds the executable alone and smooths the bundled scene
#   make test      what a contributor runs: the suite in a Release and an
#                  ASan+UBSan build, without the cases labelled slow
#   make bench     the benchmarks, and their tables in docs/performance.md
# and for CI, `make ci`: every check in named stages (lint, test, slow,
# fuzz-smoke, aarch64), as .ci/run runs it.  Every target that builds or
# checks installs any missing Debian packages first (apt-get; run as root on
# a fresh machine).
BUILD   ?= build
JOBS    ?= $(shell nproc)
PACKAGES = cmake make g++ pkg-config git libtiff-dev libpng-dev libjpeg62-turbo-dev \
           libgtest-dev libbenchmark-dev libstb-dev valgrind groff-base man-db \
           clang libclang-rt-14-dev clang-format clang-tidy \
           pybind11-dev python3-dev python3-numpy python3-pytest \
           python3-dask python3-distributed python3-venv python3-setuptools python3-wheel \
           python3-pil
# What the benchmarks need beyond PACKAGES: Debian's Python with OpenCV and
# numpy, and GNU parallel for bench/batch_throughput.py (not needed by `make test`).
BENCH_PACKAGES = python3-opencv python3-numpy parallel

PREFIX  ?= /usr/local

# WERROR=ON turns compiler warnings into errors (what CI builds with).
WERROR  ?= OFF

# Length of a `make fuzz` campaign in minutes, shared by the four targets.
MINUTES ?= 10

.PHONY: deps bench-deps release-tree release asan example evaluate test test-slow ci \
        bench-build bench bench-real install clean fuzz fuzz-build fuzz-smoke format \
        format-check tidy lint test-aarch64

# Installs the missing ones among the packages of the target's list.
deps: INSTALL_LIST = $(PACKAGES)
bench-deps: INSTALL_LIST = $(BENCH_PACKAGES)
deps bench-deps:
	@missing=$$(for p in $(INSTALL_LIST); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# The Release tree is configured the same way by every target that uses
# it; `release` builds all of it (library, executable, Python module, tests,
# benchmarks), the others only the targets they run.
release-tree: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DDISPSMOOTH_WERROR=$(WERROR)

release: release-tree
	cmake --build $(BUILD)/release -j $(JOBS)

asan: deps
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DDISPSMOOTH_SANITIZE=ON \
	  -DDISPSMOOTH_WERROR=$(WERROR)
	cmake --build $(BUILD)/asan -j $(JOBS)

# The executable alone (about a minute on two cores from a fresh clone).
example: release-tree
	cmake --build $(BUILD)/release -j $(JOBS) --target dispsmooth
	rm -rf $(BUILD)/example && mkdir -p $(BUILD)/example
	cp examples/scene/* $(BUILD)/example/
	cd $(BUILD)/example && ../release/dispsmooth
	@echo "Smoothed disparity map written to $(BUILD)/example/$$(awk '{for (i = 1; i <= NF; i++) t[++n] = $$i} END {print t[6]}' $(BUILD)/example/kelv_input.txt)"

# The Python module on the Middlebury scenes of ../shared/testdata/stereo
# (or SCENES="dir ..."): the table of the README; the picture goes to
# $(BUILD)/middlebury.png.
evaluate: release-tree
	cmake --build $(BUILD)/release -j $(JOBS) --target dispsmooth_python
	PYTHONPATH=$(BUILD)/release/python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 \
	  examples/evaluate_middlebury.py $(SCENES) --picture $(BUILD)/middlebury.png

# The tests of both trees by CTest label.  `make test` runs every test but
# those labelled slow, among them the unit suites, the tool end to end, the
# Python module's pytest files and the replays of the recorded fuzz
# crashers (4 to 5 minutes on two cores from a fresh clone, most of it
# compiling the two trees).  `make test-slow` runs the slow ones: the long
# random-scene comparisons of the fast smoothing, every damaged shared image
# and every TIFF test image, the concurrent and interrupted writes, the seed
# replays of the TIFF and PNG readers, memcheck and the installation (about
# 8 minutes of testing on two cores, most of it under the sanitizers).
# Either fails when its label selects no test.
CTEST = ctest --output-on-failure -j $(JOBS) --no-tests=error
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

test: release asan
	$(CTEST) --test-dir $(BUILD)/release -LE '^slow$$'
	$(SANITIZER_ENV) $(CTEST) --test-dir $(BUILD)/asan -LE '^slow$$'

test-slow: release asan
	$(CTEST) --test-dir $(BUILD)/release -L '^slow$$'
	$(SANITIZER_ENV) $(CTEST) --test-dir $(BUILD)/asan -L '^slow$$'

# What CI runs (.ci/run: `make ci WERROR=ON`): each stage is a make target,
# run one after the other even when one fails, each announced with its name
# and followed by its time and result; a failure prints "stage <name>
# failed" and the summary at the end lists every stage.  CI_STAGES picks
# some of them: `make ci CI_STAGES="test slow"`.
#   lint        format-check and tidy
#   test        make test
#   slow        make test-slow
#   fuzz-smoke  make fuzz-smoke
#   aarch64     make test-aarch64
CI_STAGES ?= lint test slow fuzz-smoke aarch64
ci_target_lint = lint
ci_target_test = test
ci_target_slow = test-slow
ci_target_fuzz-smoke = fuzz-smoke
ci_target_aarch64 = test-aarch64

ci:
	@MAKE='$(MAKE)' tools/run_stages.sh \
	  $(foreach stage,$(CI_STAGES),$(stage)=$(or $(ci_target_$(stage)),$(error no CI stage $(stage))))

# The library cross-built for 64-bit Arm, its smoothing and codec tests run
# under qemu-user (about 8 minutes the first time on two cores; a CI stage).
test-aarch64:
	DISPSMOOTH_WERROR=$(WERROR) tools/test_aarch64.sh $(BUILD)/aarch64

# Benchmarks, in Release (a few minutes on 2 cores):
#   make bench       bench_smoothing (straightforward vs fast smoothing, 1 and 2
#                    threads, on the generated natural, noise and real_like
#                    scenes and the real Cones and Teddy scenes, with the share
#                    of pixels settled without the exact path), the peak memory
#                    of a 4000 x 3000 run, and peer_comparison.py (dispsmooth
#                    vs OpenCV's weightedMedianFilter on Cones and Teddy: times
#                    and bad-pixel shares against the ground truth), through
#                    tools/performance_report.py: it prints them as they run,
#                    then rewrites the part of docs/performance.md between
#                    its "make bench" marker lines with their tables, under a
#                    line giving the date, the machine and the commit.
#   make bench-real  only the Cones and Teddy part of both (a minute or two),
#                    printed; docs/performance.md is left as it is.
# The real scenes come from ../shared/testdata beside the repository; without
# it they are skipped with a message.  BENCH_REPORT_OPTIONS passes options to
# tools/performance_report.py (see its --help): for one, "--stdout
# --benchmark-filter=^smooth/cones/" prints the report of a few benchmarks
# instead of writing it.
BENCH_REPORT_OPTIONS ?=
BENCH_REAL_FILTER = ^smooth/(cones|teddy)/
PEER = /usr/bin/python3 bench/peer_comparison.py --exe $(BUILD)/release/dispsmooth

bench-build: release-tree
	cmake --build $(BUILD)/release -j $(JOBS) --target dispsmooth bench_smoothing bench_peak_memory

bench: bench-build bench-deps
	/usr/bin/python3 tools/performance_report.py --build $(BUILD)/release $(BENCH_REPORT_OPTIONS)

bench-real: bench-build bench-deps
	$(BUILD)/release/bench/bench_smoothing --benchmark_counters_tabular=true \
	  '--benchmark_filter=$(BENCH_REAL_FILTER)'
	$(PEER)

# The house style (.clang-format) over every C and C++ file of the
# repository: `make format` applies it, `make format-check` fails on any
# file that it would change.  The files are those git tracks: outside a
# git work tree both fail rather than check nothing.
FORMAT_FILES = git ls-files -z -- '*.c' '*.cpp' '*.h' '*.hpp'
IN_WORK_TREE = git ls-files --error-unmatch .clang-format >/dev/null

format: deps
	$(IN_WORK_TREE)
	$(FORMAT_FILES) | xargs -0 -r clang-format -i

format-check: deps
	$(IN_WORK_TREE)
	$(FORMAT_FILES) | xargs -0 -r clang-format --dry-run -Werror

# clang-tidy (.clang-tidy) over the library's sources; any finding fails.
tidy: deps
	tools/run_clang_tidy.sh $(BUILD)/tidy

# Formatting and static analysis: the lint stage of `make ci`.
lint: format-check tidy

# The libFuzzer targets of fuzz/ (clang, ASan+UBSan).
fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDISPSMOOTH_FUZZ=ON -DDISPSMOOTH_BUILD_TESTS=OFF -DDISPSMOOTH_BUILD_BENCH=OFF \
	  -DDISPSMOOTH_WERROR=$(WERROR)
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzz_tiff_reader fuzz_png_reader \
	  fuzz_jpeg_reader fuzz_parameter_file

# A campaign of MINUTES minutes in all; findings in $(BUILD)/fuzz/findings/.
fuzz: fuzz-build
	fuzz/run_campaign.sh $(BUILD)/fuzz $$(( $(MINUTES) * 60 / 4 ))

# A bounded campaign, 25 seconds per target: the fuzz-smoke stage of `make ci`.
fuzz-smoke: fuzz-build
	fuzz/run_campaign.sh $(BUILD)/fuzz 25

# The executable, the library with its headers, the CMake package, the
# pkg-config file, the man page and the Python module, under $(PREFIX).
install: release
	cmake --install $(BUILD)/release --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)

# Convenience front end over CMake.  `make example` and `make test` install
# any missing Debian packages first (apt-get; run as root on a fresh machine).
BUILD   ?= build
JOBS    ?= $(shell nproc)
PACKAGES = cmake make g++ pkg-config libtiff-dev libpng-dev libjpeg62-turbo-dev \
           libgtest-dev libbenchmark-dev libstb-dev valgrind groff-base man-db \
           clang libclang-rt-14-dev libomp-14-dev \
           pybind11-dev python3-dev python3-numpy python3-pytest
# What examples/evaluate_middlebury.py needs besides the module.
EXAMPLE_PACKAGES = python3-opencv

PREFIX  ?= /usr/local

# Length of a `make fuzz` campaign in minutes, shared by the four targets.
MINUTES ?= 10

.PHONY: deps release asan example evaluate test bench install clean fuzz fuzz-build fuzz-smoke

deps:
	@missing=$$(for p in $(PACKAGES) $(EXTRA_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

release: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j $(JOBS)

asan: deps
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DDISPSMOOTH_SANITIZE=ON
	cmake --build $(BUILD)/asan -j $(JOBS)

example: release
	rm -rf $(BUILD)/example && mkdir -p $(BUILD)/example
	cp examples/scene/* $(BUILD)/example/
	cd $(BUILD)/example && ../release/dispsmooth
	@echo "Smoothed disparity map written to $(BUILD)/example/$$(awk '{for (i = 1; i <= NF; i++) t[++n] = $$i} END {print t[6]}' $(BUILD)/example/kelv_input.txt)"

# The Python module on the Middlebury scenes of ../shared/testdata/stereo
# (or SCENES="dir ..."): the table of the README; the picture goes to
# $(BUILD)/middlebury.png.
evaluate:
	$(MAKE) --no-print-directory release EXTRA_PACKAGES="$(EXAMPLE_PACKAGES)"
	PYTHONPATH=$(BUILD)/release/python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 \
	  examples/evaluate_middlebury.py $(SCENES) --picture $(BUILD)/middlebury.png

test: release asan
	ctest --test-dir $(BUILD)/release --output-on-failure -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)/asan --output-on-failure -j $(JOBS)
	@if command -v clang++ >/dev/null 2>&1; then $(MAKE) --no-print-directory fuzz-smoke; \
	else echo "clang++ not found: fuzz smoke run skipped"; fi

# The libFuzzer targets of fuzz/ (clang, ASan+UBSan).
bench: release
	$(BUILD)/release/bench/bench_smoothing --benchmark_counters_tabular=true
	$(BUILD)/release/bench/bench_peak_memory

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DDISPSMOOTH_FUZZ=ON -DDISPSMOOTH_BUILD_TESTS=OFF -DDISPSMOOTH_BUILD_BENCH=OFF
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzz_tiff_reader fuzz_png_reader \
	  fuzz_jpeg_reader fuzz_parameter_file

# A campaign of MINUTES minutes in all; findings in $(BUILD)/fuzz/findings/.
fuzz: fuzz-build
	fuzz/run_campaign.sh $(BUILD)/fuzz $$(( $(MINUTES) * 60 / 4 ))

# The bounded run of `make test`: 25 seconds per target.
fuzz-smoke: fuzz-build
	fuzz/run_campaign.sh $(BUILD)/fuzz 25

# The executable, the library with its headers, the CMake package, the
# pkg-config file, the man page and the Python module, under $(PREFIX).
install: release
	cmake --install $(BUILD)/release --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)

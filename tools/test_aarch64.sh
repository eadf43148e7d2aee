#!/usr/bin/env bash
# Cross-builds the library and its tests for 64-bit Arm Linux and runs the
# smoothing and codec tests under qemu-user, on a Debian 12 amd64 machine
# (as root: missing packages are installed with apt-get).
#
#   tools/test_aarch64.sh [build-dir]      (default: build/aarch64)
#
# 1. Host packages: cmake, make, the cross compilers (g++-aarch64-linux-gnu)
#    and the user-mode emulator (qemu-user).  The arm64 architecture is added
#    to dpkg so that apt can fetch arm64 packages; nothing of arm64 is
#    installed on the host.
# 2. <build-dir>/sysroot: Debian's arm64 packages of the libraries the tests
#    link (libtiff, libpng, libjpeg, zlib, GoogleTest) and of every shared
#    library they load at run time (libstdc++, libgomp, libc, ...), fetched
#    with apt-get download and unpacked with dpkg -x.  Made once; delete it
#    to fetch the packages again.
# 3. Configure (cmake/aarch64-linux-gnu.cmake), build, and ctest: each test
#    executable runs under qemu-aarch64 -L <build-dir>/sysroot.
#
# Run under emulation: every test of the smoothing, the 3x3 prefilter, the
# conversions, the parameter file, the library's image I/O and the TIFF, PNG
# and JPEG codecs, except those that start another program of the target: a
# process started by an emulated one runs natively, and an arm64 executable
# cannot run natively without binfmt_misc (see EXCLUDED below).
#
# Exits non-zero on the first failure.
set -Eeuo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$repo/build/aarch64}")
sysroot=$build/sysroot
jobs=$(nproc)

# The tests run, by CTest label: those of the smoothing, the driver
# routines, the C++ interface and the codecs, but not the end-to-end runs
# of the tool (label cli), nor the few cases of these areas listed in
# SKIPPED (a ctest regex) that start a target program too.
LABELS='^(smoothing|driver|api|codec)$'
SKIPPED='^(PngCli\..*|Api\.MessagesCarryWhatTheToolPrints'
SKIPPED+='|FastSmoothingDeathTest\.SameFatalErrors|FastSmoothingDeathTest\.ForcePortableTakesEffectForOneAlone'
SKIPPED+='|Api\.CheckedAllocationThrowsOnlyForTheInterface'
SKIPPED+='|BoundedReads\.AJpegWhoseDataEndsEarlyIsDamaged'
SKIPPED+='|BoundedReads\.ADeclaredSizeBeyondTheMemoryLeftIsRefusedWithTheFigures'
SKIPPED+='|Threads\.ThreadsThatCannotBeCreatedAreDoneWithout'
# Left out, and why.  Each starts a target program: a process started by an
# emulated one runs natively, and an arm64 executable cannot run natively
# without binfmt_misc.  (GoogleTest's death tests in the default "fast" style
# only fork, and run.)
EXCLUDED=(
    'Cli.*, CliExtras.*, DamagedInputs.*, WriteFaults.*, PngCli.*, Api.MessagesCarryWhatTheToolPrints: run the dispsmooth executable'
    'FastSmoothingDeathTest.SameFatalErrors, FastSmoothingDeathTest.ForcePortableTakesEffectForOneAlone, Api.CheckedAllocationThrowsOnlyForTheInterface: "threadsafe" death tests, which run the test executable again'
    'BoundedReads.AJpegWhoseDataEndsEarlyIsDamaged: runs the dispsmooth executable too'
    'BoundedReads.ADeclaredSizeBeyondTheMemoryLeftIsRefusedWithTheFigures, Threads.ThreadsThatCannotBeCreatedAreDoneWithout: set an address-space limit, which under qemu-user limits the emulator, whose own mappings exceed it'
    'install_and_consume, memcheck_success_path, fuzz_replay_*: host scripts that run target programs'
    'man_page_renders: runs on the host alone, nothing target-specific'
)
exclude=(-LE '^cli$')
# DISPSMOOTH_AARCH64_QUICK=1 also leaves out the longest test (about 4 of the
# 4.5 minutes of emulated testing on two cores), at the price of the only
# emulated runs of the exact row path on windows wider than the weight table
# and on guides outside 0..255.
if [ "${DISPSMOOTH_AARCH64_QUICK:-0}" = 1 ]; then
    SKIPPED+='|FastSmoothing\.WeightedMedianAndWholeSmoothingMatchOnRandomScenes'
    EXCLUDED+=('FastSmoothing.WeightedMedianAndWholeSmoothingMatchOnRandomScenes: DISPSMOOTH_AARCH64_QUICK=1')
fi

SKIPPED+=')$'
exclude+=(-E "$SKIPPED")

# Target libraries: what the tests link, and the shared libraries loaded at
# run time (their dependencies are added below).
DEV_PACKAGES=(libtiff-dev libpng-dev libjpeg62-turbo-dev zlib1g-dev libgtest-dev)
RUNTIME_PACKAGES=(libtiff6 libpng16-16 libjpeg62-turbo zlib1g libstdc++6 libgomp1 libgcc-s1)
HOST_PACKAGES=(cmake make g++-aarch64-linux-gnu qemu-user)

step() { printf '\n==== %s\n' "$*"; }
run() {
    printf '+ %s\n' "$*"
    "$@"
}
start=$SECONDS
elapsed() { printf '     (%d s so far)\n' $((SECONDS - start)); }
trap 'printf "\n==== FAILED (status %d) after %d s\n" $? $((SECONDS - start)) >&2' ERR

step "Host packages: ${HOST_PACKAGES[*]}"
missing=()
for p in "${HOST_PACKAGES[@]}"; do
    # Either emulator package will do.
    [ "$p" = qemu-user ] && command -v qemu-aarch64-static >/dev/null && continue
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
        missing+=("$p")
done
need_update=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    run dpkg --add-architecture arm64
    need_update=1
fi
# apt knows arm64 packages only after an update with the architecture added.
apt-cache show libc6:arm64 >/dev/null 2>&1 || need_update=1
if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
    run apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    # Without recommends: qemu-user would bring qemu-user-binfmt, which
    # registers the emulator for foreign executables system-wide.
    run env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
else
    echo "all installed"
fi
qemu=$(command -v qemu-aarch64 || command -v qemu-aarch64-static) ||
    { echo "no qemu-aarch64 on PATH" >&2; exit 1; }
elapsed

step "Sysroot $sysroot"
# The runtime packages and everything they depend on (all arm64 library
# packages), then the -dev packages alone: their own dependencies would bring
# libc6-dev and the like, whose headers must come from the cross compiler.
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${RUNTIME_PACKAGES[@]/%/:arm64}" | grep -v '^[ <]')
wanted=$(printf '%s\n' "$closure" "${DEV_PACKAGES[@]/%/:arm64}" | sort -u)
if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "$wanted" ]; then
    echo "reused, made from:" "$(echo "$wanted" | tr '\n' ' ')"
else
    run rm -rf "$sysroot" "$build/debs"
    run mkdir -p "$sysroot" "$build/debs"
    # shellcheck disable=SC2086
    (cd "$build/debs" && run apt-get download -q -o APT::Sandbox::User=root $wanted)
    for deb in "$build"/debs/*.deb; do
        echo "+ dpkg -x $(basename "$deb") $sysroot"
        dpkg -x "$deb" "$sysroot"
    done
    printf '%s\n' "$wanted" >"$sysroot/.packages"
fi
elapsed

step "Configure $build"
run cmake -S "$repo" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/aarch64-linux-gnu.cmake" \
    -DDISPSMOOTH_ARM64_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release \
    -DDISPSMOOTH_PYTHON=OFF -DDISPSMOOTH_BUILD_BENCH=OFF \
    -DDISPSMOOTH_WERROR="${DISPSMOOTH_WERROR:-OFF}"
elapsed

step "Build"
# Everything (the executable, examples and fuzz replay tools too), so that
# the whole project is known to compile for the target.
run cmake --build "$build" -j "$jobs"
elapsed

step "Tests under $qemu"
registered=$(ctest --test-dir "$build" -N | sed -n 's/^Total Tests: //p')
selected=$(ctest --test-dir "$build" -N -L "$LABELS" "${exclude[@]}" |
    sed -n 's/^Total Tests: //p')
echo "$selected of the $registered tests registered; left out:"
printf '  %s\n' "${EXCLUDED[@]}"
run ctest --test-dir "$build" -L "$LABELS" "${exclude[@]}" --output-on-failure \
    -j "$jobs" --no-tests=error
elapsed

#!/usr/bin/env bash
# Static analysis of the library with clang-tidy and the checks of the
# repository's .clang-tidy: every .cpp of common/, smoothing/,
# smoothing/fast/, tiff/, png/, jpeg/, main/, api/, disparity_io/ and batch/
# (not the tests, benchmarks, fuzz targets or the Python module), in
# parallel, with the compile commands of the given build directory.
#
#   tools/run_clang_tidy.sh <build-dir>
#
# A build directory without a compile database is configured first (Release,
# with compile_commands.json); nothing is built.  Prints the number of files
# checked and every finding, once even where a header is seen by several
# files; exits with status 1 on any finding or a file clang-tidy could not
# process.  CLANG_TIDY names another clang-tidy executable, JOBS another
# number of parallel runs than the number of processors.
#
# Each file gets a clang-tidy run of its own: given several files at once,
# clang-tidy 14's static analyzer reports findings that a run on each file
# alone does not (an "uninitialized va_list" in keep_library_message, for
# one).
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
jobs=${JOBS:-$(nproc)}
python=/usr/bin/python3

tidy=${CLANG_TIDY:-}
if [ -z "$tidy" ]; then
    for candidate in clang-tidy clang-tidy-14; do
        if command -v "$candidate" >/dev/null 2>&1; then
            tidy=$candidate
            break
        fi
    done
fi
if [ -z "$tidy" ] || ! command -v "$tidy" >/dev/null 2>&1; then
    echo "$0: clang-tidy not found (Debian package clang-tidy)" >&2
    exit 2
fi

sources=()
for folder in common smoothing smoothing/fast tiff png jpeg main api disparity_io batch; do
    for file in "$root/$folder"/*.cpp; do
        if [ -e "$file" ]; then sources+=("$file"); fi
    done
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

configure() {
    # A new build directory gets only what the library needs; an existing
    # one keeps its own settings and just gains the compile database.
    local options=(-DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
    if [ ! -f "$build/CMakeCache.txt" ]; then
        options+=(-DCMAKE_BUILD_TYPE=Release -DDISPSMOOTH_BUILD_TESTS=OFF
                  -DDISPSMOOTH_BUILD_BENCH=OFF -DDISPSMOOTH_PYTHON=OFF)
    fi
    if ! cmake -S "$root" -B "$build" "${options[@]}" >"$work/configure.log" 2>&1; then
        cat "$work/configure.log" >&2
        echo "$0: configuring $build failed" >&2
        exit 1
    fi
}

# The compile commands of exactly these sources, in a database of their own,
# without the options that clang rejects (GCC-only ones: clang-tidy would
# report them as errors).  Status 3 when a source has no compile command.
select_commands() {
    printf '%s\n' "${sources[@]}" >"$work/sources.txt"
    mkdir -p "$work/db"
    "$python" - "$build/compile_commands.json" "$work/sources.txt" "$work/db" "$tidy" <<'EOF'
import json, os, shlex, subprocess, sys

database, source_list, out_dir, tidy = sys.argv[1:5]
try:
    with open(database) as f:
        entries = json.load(f)
except FileNotFoundError:
    sys.exit(3)
with open(source_list) as f:
    sources = [line.rstrip("\n") for line in f if line.strip()]

by_file = {}
for entry in entries:
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    args = entry.get("arguments") or shlex.split(entry["command"])
    by_file[os.path.realpath(path)] = dict(entry, file=path, arguments=args)
selected = [by_file.get(os.path.realpath(s)) for s in sources]
missing = [s for s, e in zip(sources, selected) if e is None]
if missing:
    print(f"no compile command in {database} for:", *missing, sep="\n", file=sys.stderr)
    sys.exit(3)

# Which of the code-generation options clang does not know: one run for all
# of them, and one per option only when that run fails.
probe = os.path.join(out_dir, "probe.cpp")
with open(probe, "w") as f:
    f.write("int probe;\n")
options = sorted({a for e in selected for a in e["arguments"][1:]
                  if a.startswith(("-f", "-m")) and "/" not in a})
def accepted(opts):
    # One cheap check: clang-tidy refuses to run with none.
    run = subprocess.run([tidy, "--quiet", "--checks=-*,bugprone-argument-comment", probe, "--",
                          "-c"] + opts,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return run.returncode == 0
if not accepted([]):
    sys.exit(f"{tidy} cannot check even a one-line file")
rejected = set() if accepted(options) else {o for o in options if not accepted([o])}

for e in selected:
    e["arguments"] = [a for a in e["arguments"] if a not in rejected]
    e.pop("command", None)
with open(os.path.join(out_dir, "compile_commands.json"), "w") as f:
    json.dump(selected, f, indent=1)
EOF
}

[ -f "$build/compile_commands.json" ] || configure
status=0
select_commands 2>"$work/select.log" || status=$?
if [ "$status" -eq 3 ]; then
    # Sources added since the database was written: configure again.
    configure
    status=0
    select_commands 2>"$work/select.log" || status=$?
fi
if [ "$status" -ne 0 ]; then
    cat "$work/select.log" >&2
    exit 1
fi

# One clang-tidy per source, its output in a file of its own, its exit
# status beside it.
mkdir -p "$work/out"
run_one() {
    local out
    out="$work/out/$(printf '%s' "$1" | tr '/' '_')"
    if "$tidy" -p "$work/db" --quiet --warnings-as-errors='*' "$1" >"$out.txt" 2>&1; then
        echo 0 >"$out.status"
    else
        echo 1 >"$out.status"
    fi
}
export -f run_one
export work tidy
printf '%s\0' "${sources[@]}" | xargs -0 -n 1 -P "$jobs" bash -c 'run_one "$1"' run_one

# Each finding with its notes once, without clang's counts of warnings.
cat "$work"/out/*.txt |
    grep -Ev '^[0-9]+ (warning|error)s?( and [0-9]+ (warning|error)s?)? (generated|treated as errors)\.$' |
    awk 'BEGIN { show = 1 }
         /^[^ ].*:[0-9]+:[0-9]+: (warning|error): |^(warning|error): |^Error while processing / {
             show = !seen[$0]++
         }
         show' >"$work/findings.txt" || true
findings=$(grep -Ec '^([^ ].*:[0-9]+:[0-9]+: )?(warning|error): ' "$work/findings.txt" || true)
failed=$(cat "$work"/out/*.status | grep -cx 1 || true)

echo "clang-tidy: ${#sources[@]} files checked"
if [ "$findings" -ne 0 ] || [ "$failed" -ne 0 ]; then
    cat "$work/findings.txt"
    echo "clang-tidy: $findings findings in $failed files" >&2
    exit 1
fi

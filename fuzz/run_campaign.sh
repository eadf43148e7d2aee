#!/usr/bin/env bash
# Runs every fuzz target of a DISPSMOOTH_FUZZ build for SECONDS seconds each.
#   fuzz/run_campaign.sh BUILD_DIR SECONDS
# Seeds: the shared test images (read in place, when present) and
# fuzz/seeds/<target>/.  The growing corpus stays in BUILD_DIR/corpus/<target>,
# findings go to BUILD_DIR/findings/.  Exits non-zero on any finding.
set -u
build=$1
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
testdata=$here/../../shared/testdata
mkdir -p "$build/findings"
status=0
total=0
for target in tiff_reader png_reader jpeg_reader parameter_file; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  seeds=()
  case $target in
    tiff_reader) [ -d "$testdata/tiff" ] && seeds+=("$testdata/tiff") ;;
    png_reader) [ -d "$testdata/png" ] && seeds+=("$testdata/png") ;;
    jpeg_reader) [ -d "$testdata/jpeg" ] && seeds+=("$testdata/jpeg") ;;
  esac
  [ -d "$here/seeds/$target" ] && seeds+=("$here/seeds/$target")
  # The parameter file reader echoes and reports on every input: keep the
  # fuzzer's own output only.
  quiet=0
  [ "$target" = parameter_file ] && quiet=3
  log=$build/findings/$target.log
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=131072 -timeout=60 \
    -rss_limit_mb=0 -malloc_limit_mb=2048 -close_fd_mask=$quiet -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" "$corpus" "${seeds[@]}" > "$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  runs=${runs:-0}
  total=$((total + runs))
  if [ $rc -ne 0 ]; then
    status=1
    echo "fuzz: $target: FINDING after $runs runs (exit $rc); see $log and $build/findings/"
    grep -E 'fuzz harness|ERROR|SUMMARY' "$log" | head -20
  else
    echo "fuzz: $target: $runs runs in ${seconds}s, no finding (corpus $(ls "$corpus" | wc -l) files)"
  fi
done
echo "fuzz: $total runs in all"
exit $status

#!/usr/bin/env bash
# Runs make targets one after the other as named stages, the way `make ci`
# runs the CI checks:
#
#   tools/run_stages.sh <stage>=<make target> ...
#
# Each stage starts with a line "==== stage <stage>: make <target>" (with
# the load average then: the machine may be shared) and ends with "==== stage
# <stage> passed in <time>" or "==== stage <stage> failed (status <n>) after
# <time>".  Every stage runs even when an earlier one failed, so that one run
# reports every failing stage; a summary of the stages, their results and
# times follows the last one.  Exits with status 1 if any stage failed, 2 on
# a malformed argument.
#
# MAKE names the make to run (the Makefile passes its own, so that the
# variables of its command line, WERROR=ON for one, reach every stage).
set -uo pipefail

# MAKE may carry options of its own ("make -f other.mk").
read -r -a make <<<"${MAKE:-make}"

if [ $# -eq 0 ]; then
    echo "usage: $0 <stage>=<make target> ..." >&2
    exit 2
fi
for arg in "$@"; do
    case $arg in
        ?*=?*) ;;
        *)
            echo "$0: '$arg' is not <stage>=<make target>" >&2
            exit 2
            ;;
    esac
done

duration() {
    local s=$1
    if [ "$s" -ge 60 ]; then
        printf '%d min %02d s' $((s / 60)) $((s % 60))
    else
        printf '%d s' "$s"
    fi
}
load() { cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown; }

summary=()
failed=()
start_all=$SECONDS
for arg in "$@"; do
    stage=${arg%%=*}
    target=${arg#*=}
    printf '\n==== stage %s: %s %s (load average %s)\n' "$stage" "${make[*]}" "$target" "$(load)"
    start=$SECONDS
    "${make[@]}" --no-print-directory "$target"
    status=$?
    took=$(duration $((SECONDS - start)))
    if [ "$status" -eq 0 ]; then
        printf '==== stage %s passed in %s (load average %s)\n' "$stage" "$took" "$(load)"
        summary+=("$(printf '  %-12s passed  %s' "$stage" "$took")")
    else
        printf '==== stage %s failed (status %d) after %s\n' "$stage" "$status" "$took" >&2
        summary+=("$(printf '  %-12s FAILED  %s' "$stage" "$took")")
        failed+=("$stage")
    fi
done

printf '\n==== stages, %s in all:\n' "$(duration $((SECONDS - start_all)))"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    for stage in "${failed[@]}"; do
        printf 'stage %s failed\n' "$stage" >&2
    done
    exit 1
fi
echo "all stages passed"

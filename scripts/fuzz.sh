#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS on a copy of its seeds from tests/fuzz-corpus,
# so that the repository is left as it is. Fails on any crash, sanitizer report, wrong result, hang or memory blow-up,
# and keeps the input that caused it under BUILD_DIR/fuzz-artifacts.
# Usage: scripts/fuzz.sh SECONDS [BUILD_DIR]   (default: build-fuzz); QUOSH_FUZZ_SEED=N repeats a run exactly.
set -euo pipefail
seconds=${1:?usage: scripts/fuzz.sh SECONDS [BUILD_DIR]}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQUOSH_FUZZ=ON -DQUOSH_BUILD_TESTS=OFF \
    -DQUOSH_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz -j"$(nproc)"

work=$(mktemp -d)
# The files the targets write go to memory where there is some; a crashed target leaves them, so they are removed here.
scratch=$(mktemp -d "$( [[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/quosh-fuzz-XXXXXX")
trap 'rm -rf "$work" "$scratch"' EXIT
mkdir -m 700 "$work/runtime"
export QUOSH_FUZZ_SCRATCH="$scratch"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
export XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
printf '%-22s %12s %8s %10s\n' target executions seconds exec/s
for binary in "$build"/fuzz/fuzz_*; do
    [[ -x $binary && -f $binary ]] || continue
    name=$(basename "$binary")
    corpus="$work/corpus/$name"
    mkdir -p "$corpus"
    if [[ -d $root/tests/fuzz-corpus/$name ]]; then
        cp -R "$root/tests/fuzz-corpus/$name/." "$corpus/"
    fi
    log="$work/$name.log"
    started=$(date +%s.%N)
    status=0
    # -timeout: one input taking longer is a hang. -rss_limit_mb: a reader that balloons is a fault too.
    # QUOSH_FUZZ_SEED fixes the random sequence, so that a run can be repeated input for input.
    "$binary" ${QUOSH_FUZZ_SEED:+-seed="$QUOSH_FUZZ_SEED"} -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$name-" "$corpus" >"$log" 2>&1 || status=$?
    elapsed=$(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    runs=${runs:-0}
    rate=$(awk -v r="$runs" -v t="$elapsed" 'BEGIN { printf "%.0f", (t > 0 ? r / t : 0) }')
    printf '%-22s %12s %8s %10s\n' "$name" "$runs" "$elapsed" "$rate"
    if ((status != 0)) || grep -qE '^(==[0-9]+==ERROR|SUMMARY: |.*runtime error: )' "$log"; then
        failed+=("$name")
        cp "$log" "$artifacts/$name.log"
        echo "---- $name failed (exit $status); the whole log is $artifacts/$name.log" >&2
        # From the first report on: what went wrong, the stack, and where the input was kept.
        awk '/^Wrong result|ERROR|runtime error|^Qt fatal/ { shown = 1 } shown && !/^"/ && n++ < 40' "$log" >&2
        grep -E 'Test unit written' "$log" >&2 || true
    fi
done

if ((${#failed[@]})); then
    echo "Fuzzing failed: ${failed[*]}" >&2
    exit 1
fi
echo "Fuzzing found nothing: every target ran ${seconds} s without a crash or sanitizer report."

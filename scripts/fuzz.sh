#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz and runs each for a
# bounded time (FUZZ_SECONDS, 15 by default) from a scratch copy of its
# committed corpus. Any crash, leak or failed property stops with a non-zero
# exit; the input that caused it is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-15}
dir=build-fuzz
targets=(pattern query dates)

cmake -S . -B "$dir" -DORV_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir" -j2 --target "${targets[@]/#/fuzz_}"

mkdir -p "$dir/artifacts"
for t in "${targets[@]}"; do
    work="$dir/corpus/$t"
    rm -rf "$work"
    mkdir -p "$work"
    cp fuzz/corpus/"$t"/* "$work"/
    echo "fuzz_$t: ${seconds}s"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/artifacts/fuzz_$t-" "$work" 2>"$dir/fuzz_$t.log" || {
        tail -n 60 "$dir/fuzz_$t.log"
        echo "fuzz_$t failed; its input is in $dir/artifacts/" >&2
        exit 1
    }
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov:' "$dir/fuzz_$t.log" | tail -n 3
done

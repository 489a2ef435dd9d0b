#!/usr/bin/env bash
# Runs each libFuzzer target for a given time, one after another:
#   scripts/fuzz.sh [seconds per target, default 600] [target ...]
# Seeds are the committed ones under tests/fuzz/seeds/<target> plus the test images; crashes,
# leaks and hangs are kept under tests/fuzz/regressions/<target>/, which every ordinary test run
# replays. The per-target figures land in build-fuzz/fuzz-<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true

scripts/deps.sh
scripts/build.sh build   # the test images the seeds come from
CC=clang-14 CXX=clang++-14 scripts/build.sh build-fuzz -DTQT_FUZZ=ON -DTQT_BUILD_TESTS=OFF \
    -DTQT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    mapfile -t targets < <(cut -d' ' -f1 build/fuzz-targets.txt)
fi

export ASAN_OPTIONS=detect_leaks=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
    corpus=build-fuzz/corpus/$t
    mkdir -p "$corpus" "tests/fuzz/regressions/$t"
    [ -d "tests/fuzz/seeds/$t" ] && cp -n tests/fuzz/seeds/"$t"/* "$corpus"/ 2>/dev/null || true
    for seed in $(grep "^$t " build/fuzz-targets.txt | cut -d' ' -f2-); do
        [ -f "$seed" ] && cp -n "$seed" "$corpus"/ || true
    done
    echo "== fuzz_$t for $seconds s"
    if ! build-fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
            -print_final_stats=1 -artifact_prefix="tests/fuzz/regressions/$t/" "$corpus" \
            > "build-fuzz/fuzz-$t.log" 2>&1; then
        echo "fuzz_$t found a fault: see build-fuzz/fuzz-$t.log and tests/fuzz/regressions/$t/"
        status=1
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|cov: ' "build-fuzz/fuzz-$t.log" | tail -3
done
exit $status

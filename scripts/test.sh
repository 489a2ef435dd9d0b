#!/usr/bin/env bash
# Installs what is missing, builds and runs every test, then runs the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero when anything fails.
# TQT_SKIP_SANITIZE=1 skips the second pass (for a quick local run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"

if [ "${TQT_SKIP_SANITIZE:-0}" != 1 ]; then
    echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    scripts/build.sh build-asan -DTQT_SANITIZE=ON -DTQT_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
    # Leaks are reported; the suppressions cover only the Qt and LLVM libraries.
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
fi

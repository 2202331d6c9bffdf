#!/usr/bin/env bash
# The whole test suite: a normal build and an AddressSanitizer +
# UndefinedBehaviorSanitizer build, each with every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
jobs=$(( $(nproc) + 2 ))
status=0
scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs") || status=1
scripts/build.sh build-asan -DTKTEST_SANITIZE=ON -DTKTEST_BENCHMARKS=OFF
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd build-asan && ctest --output-on-failure -j"$jobs" -LE real-time) || status=1
exit $status

#!/bin/sh
# Serial numbers per second with 1 and 16 stations, beside bare SQLite commits
# (WAL, synchronous FULL) on the same disk in the same run.
# Usage: scripts/bench-server.sh [BUILD_DIR] [DATA_DIR] [COUNT]
set -e
build=${1:-build}
dir=${2:-$build}
count=${3:-2000}
cmake --build "$build" --target tktest-server-bench >/dev/null
exec "$build/testserver/tktest-server-bench" "$dir" "$count"

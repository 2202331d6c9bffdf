#!/usr/bin/env bash
# Runs every fuzz target with libFuzzer (clang, ASan + UBSan) for SECONDS each,
# two at a time, and prints executions per second and findings per target.
# Findings (crash-*, leak-*, timeout-*, oom-*) land in build-fuzz/findings/<target>/.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(server_reply config_file image_file meter_reply device_reply bench_request test_server_request)
fi
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -g -O1"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTKTEST_FUZZ=ON \
  -DTKTEST_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-fuzz -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_one() {
  local name=$1 work=$root/build-fuzz/work/$1 out=$root/build-fuzz/findings/$1
  mkdir -p "$work" "$out"
  cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  "$root"/build-fuzz/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out"/ "$work" >"$root"/build-fuzz/findings/"$name".log 2>&1 || true
}

pids=()
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!)
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}"
    pids=("${pids[@]:1}")
  fi
done
wait

printf '%-22s %10s %12s %8s %9s\n' target seconds execs execs/s findings
for name in "${targets[@]}"; do
  log=build-fuzz/findings/$name.log
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  time=$(grep -o 'Done [0-9]* runs in [0-9]* second' "$log" | grep -o 'in [0-9]*' | grep -o '[0-9]*' || echo "$seconds")
  [ -n "$execs" ] || execs=0
  [ -n "$time" ] && [ "$time" -gt 0 ] || time=$seconds
  found=$(find build-fuzz/findings/"$name" -type f | wc -l)
  printf '%-22s %10s %12s %8s %9s\n' "$name" "$time" "$execs" $((execs / time)) "$found"
done

#!/bin/sh
# Builds the fuzz targets in BUILD_DIR (clang) and runs each for SECONDS,
# two at a time, over its seed corpus; new inputs stay in the build tree.
# Prints the executions per target; fails when any target finds a crash.
# Usage: run.sh BUILD_DIR SECONDS
set -eu

build=${1:?build directory}
seconds=${2:?seconds per target}
src=$(cd "$(dirname "$0")/.." && pwd)
targets="request legacy script_config daemon_config file_tail spwire"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$src" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DTUVOD_FUZZ=ON -DTUVOD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target fuzzers -j "$(nproc)"

out="$build/fuzz/logs"
mkdir -p "$out" "$build/fuzz/artifacts"
rm -f "$out"/*.log "$out"/*.status

run_one() {
  name=$1
  dict=""
  [ -f "$src/fuzz/$name.dict" ] && dict="-dict=$src/fuzz/$name.dict"
  mkdir -p "$build/fuzz/corpus/$name"
  status=0
  # shellcheck disable=SC2086
  "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -max_len=20000 -print_final_stats=1 -artifact_prefix="$build/fuzz/artifacts/$name-" $dict \
      "$build/fuzz/corpus/$name" "$src/fuzz/corpus/$name" >"$out/$name.log" 2>&1 || status=$?
  echo "$status" >"$out/$name.status"
}

# Two at a time: the machines this runs on have two cores.
set -- $targets
while [ $# -gt 0 ]; do
  run_one "$1" &
  if [ $# -gt 1 ]; then
    run_one "$2" &
    shift
  fi
  shift
  wait
done

failed=0
for name in $targets; do
  status=$(cat "$out/$name.status")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$name.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$name.log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$out/$name.log")
  if [ "$status" -eq 0 ]; then
    printf 'fuzz %-14s %10s executions (%s/s), %s new inputs\n' "$name" "${execs:-?}" "${rate:-?}" "${added:-?}"
  else
    printf 'fuzz %-14s FAILED (status %s), see %s\n' "$name" "$status" "$out/$name.log"
    grep -E 'ERROR|SUMMARY|fuzz check failed|runtime error' "$out/$name.log" | head -5
    failed=1
  fi
done
exit $failed

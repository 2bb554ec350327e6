#!/usr/bin/env bash
# Builds every libFuzzer target of tests/fuzz with clang and runs each, one
# after the other on one core, for the given number of seconds (default 60) on
# its seed corpus tests/fuzz/corpus/<target>/.
#
# Inputs the fuzzer finds go to build-fuzz/corpus/<target>/, never into the
# repository. A crash or any sanitizer report fails the run and leaves the
# input that caused it in build-fuzz/findings/<target>/; replay it with
#   build-fuzz/tests/fuzz/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds per target]" >&2
  exit 2
fi
scripts/install-deps.sh

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKESTROVA_BENCH=OFF >/dev/null
mapfile -t binaries < <(grep -v '^$' "$build/fuzz-targets.txt")
if ((${#binaries[@]} == 0)); then
  echo "fuzz: no fuzz targets defined in tests/fuzz/CMakeLists.txt" >&2
  exit 1
fi
targets=()
for binary in "${binaries[@]}"; do targets+=("$(basename "$binary")"); done
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for binary in "${binaries[@]}"; do
  target=$(basename "$binary")
  seeds=tests/fuzz/corpus/$target
  scratch=$build/corpus/$target
  findings=$build/findings/$target
  log=$build/$target.log
  mkdir -p "$scratch" "$findings"
  corpora=("$scratch")
  [[ -d $seeds ]] && corpora+=("$seeds")
  if "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${corpora[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ${runs:-?} executions in ${seconds} s, no finding"
  else
    tail -n 60 "$log" >&2
    echo "$target: FINDING (log: $log, input: $findings/)" >&2
    failed+=("$target")
  fi
done
((${#failed[@]} == 0))

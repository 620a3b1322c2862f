#!/usr/bin/env bash
# activator-run's cost on a command with a lot of output: the wall time of a
# command that prints SIZE MiB of text lines, run bare and under
# activator-run, both with standard output on /dev/null (so the wrapper's
# output goes through pipes and into its result file), in interleaved rounds;
# then the median of each, their ratio, and the wrapper's own peak resident
# memory. A third figure, the bare command read through a pipe by cat, is the
# floor of any wrapper that reads the output on its way. No activator runs: the wrapper warns once and goes on, which costs
# the same as a job announced, and it discards its result file at the end.
#
# Usage: bench/run_throughput.sh [--build-dir DIR] [SIZE_MIB] [ROUNDS]
#   SIZE_MIB  output of the command (default 1024)
#   ROUNDS    of the two measurements (default 3)
# Builds bench_activator_run in DIR (default: build). Not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
if [[ ${1:-} == --build-dir ]]; then
  build=$2
  shift 2
fi
build=$(realpath -m "$build")
size_mib=${1:-1024}
rounds=${2:-3}

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target bench_activator_run >/dev/null
runner="$build/bench/linux/bench_activator_run"
lab="$build/bench-labs/run"
mkdir -p "$lab/pipe" "$lab/Native/Host/Resultados"

bytes=$((size_mib * 1024 * 1024))
# Lines of a build log's length, as a compiler or a test run prints them.
command=(sh -c "yes 'a line of output from a build, forty bytes' | head -c $bytes")

seconds() {  # wall seconds of "$@", its output and errors dropped
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

piped() { "$@" | cat; }
bare=() wrapped=() through_pipe=()
for ((round = 1; round <= rounds; round++)); do
  bare+=("$(seconds "${command[@]}")")
  wrapped+=("$(seconds "$runner" -- "${command[@]}")")
  through_pipe+=("$(seconds piped "${command[@]}")")
  printf 'round %d: bare %.2f s, activator-run %.2f s, bare | cat %.2f s\n' "$round" \
    "${bare[-1]}" "${wrapped[-1]}" "${through_pipe[-1]}"
done
bare_median=$(printf '%s\n' "${bare[@]}" | median)
wrapped_median=$(printf '%s\n' "${wrapped[@]}" | median)
pipe_median=$(printf '%s\n' "${through_pipe[@]}" | median)
# The wrapper's own peak (VmHWM), read while it runs: its command's
# processes are not counted.
"$runner" -- "${command[@]}" >/dev/null 2>&1 &
pid=$!
peak_kib=0
while kill -0 "$pid" 2>/dev/null; do
  hwm=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
  [[ -n $hwm ]] && peak_kib=$hwm
  sleep 0.1
done
wait "$pid" || true
printf '%d MiB of output, median of %d rounds: bare %.2f s, activator-run %.2f s, ratio %.2f\n' \
  "$size_mib" "$rounds" "$bare_median" "$wrapped_median" "$(echo "$wrapped_median / $bare_median" | bc -l)"
printf 'bare | cat %.2f s, ratio %.2f\n' "$pipe_median" "$(echo "$pipe_median / $bare_median" | bc -l)"
printf 'activator-run peak resident memory: %d KiB\n' "$peak_kib"

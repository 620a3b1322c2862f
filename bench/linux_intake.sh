#!/usr/bin/env bash
# Intake throughput of the Linux program: job messages per second on the job
# pipe, one connection each, with the state file and without it, against two
# baselines served the same way in the same run with the same client
# (bench/linux/): a bare accept-read-close loop over the program's own pipe
# service, and the same loop appending as many log lines per message as the
# program writes, the way the debug log does (the logging floor). Then the
# resident memory a job id costs the program, with the state file.
#
# The program runs on a private session bus on which no notification server
# runs: nothing it takes in is shown, so the figures are the intake's own,
# and every job announced stays in its queue.
#
# Usage: bench/linux_intake.sh [--build-dir DIR] [messages] [rounds] [jobs]
#   messages  per throughput measurement (default 20000)
#   rounds    of the four throughput measurements, interleaved (default 5)
#   jobs      distinct job ids announced for the memory figure (default 200000)
# Builds its targets in DIR (default: build). Not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=build
if [[ ${1:-} == --build-dir ]]; then
  build=$2
  shift 2
fi
build=$(realpath -m "$build")
count=${1:-20000}
rounds=${2:-5}
jobs=${3:-200000}

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target bench_activator intake_client pipe_baseline >/dev/null

lab="$build/bench-labs/intake"
# ACTIVATOR_BENCH_PROGRAM: another build of the program for the same lab, to compare.
program="${ACTIVATOR_BENCH_PROGRAM:-$build/bench/linux/bench_activator}"
client="$build/bench/linux/intake_client"
baseline="$build/bench/linux/pipe_baseline"
log="$lab/Logs/activator_debug.txt"
state="$lab/State/activator_state.dat"
message="acao=atualizar&id_execucao=B1&estado=executando"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/activator-bench.XXXXXX")
server=""
bus=""
stop_server() {
  if [[ -n $server ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  server=""
}
finish() {
  stop_server
  # The lab as the build made it.
  [[ -d $lab/State.off ]] && mv "$lab/State.off" "$lab/State"
  if [[ -n $bus ]]; then kill "$bus" 2>/dev/null || true; wait "$bus" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap finish EXIT
trap 'exit 130' INT TERM

# A session bus of the run's own, with nobody serving notifications on it.
unset DISPLAY WAYLAND_DISPLAY
dbus-daemon --config-file="$root/tests/support/session-bus.conf" --nofork --print-address=3 \
  3>"$tmp/bus" >"$tmp/bus.log" 2>&1 &
bus=$!
for _ in {1..150}; do [[ -s $tmp/bus ]] && break; sleep 0.1; done
[[ -s $tmp/bus ]] || { echo "bench: the session bus did not start" >&2; exit 1; }
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$tmp/bus")

# The program starts from an empty state file each time, so that every round
# does the same work.
fresh_state() { rm -f -- "$state" "$state.tmp"; }
# Without its folder the program writes no state file (it logs ESTADO NAO
# GRAVADO and runs on).
state_off() { mv "$lab/State" "$lab/State.off"; }
state_on() { mv "$lab/State.off" "$lab/State"; }

# Runs the client against the server started by "$@"; prints messages/s.
measure() {
  "$@" >/dev/null 2>&1 &
  server=$!
  local out
  out=$("$client" "$count" "$message")
  stop_server
  sed -n 's/.*: \([0-9]*\) messages\/s.*/\1/p' <<<"$out"
}

# How many log lines the program writes per message: the most frequent
# distance between two of its "PYTHON PIPE RECEIVED=" lines.
fresh_state
measure "$program" >/dev/null
lines=$(awk '/^PYTHON PIPE RECEIVED=/ {if (last) n[NR - last]++; last = NR}
             END {for (d in n) if (n[d] > best) {best = n[d]; mode = d}; print mode}' "$log")
echo "program: $lines log lines per message"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
bare=(); logged=(); with=(); without=()
for ((r = 1; r <= rounds; r++)); do
  bare+=("$(measure "$baseline" 0 x)")
  rm -f "$lab/Logs/baseline_log.txt"*
  logged+=("$(measure "$baseline" "$lines" "$lab/Logs/baseline_log.txt")")
  fresh_state
  with+=("$(measure "$program")")
  state_off
  without+=("$(measure "$program")")
  state_on
  echo "round $r: bare ${bare[-1]}, logging ${logged[-1]}, activator ${with[-1]}," \
       "without state file ${without[-1]} messages/s"
done
rm -f "$lab/Logs/baseline_log.txt"*
b=$(printf '%s\n' "${bare[@]}" | median)
l=$(printf '%s\n' "${logged[@]}" | median)
w=$(printf '%s\n' "${with[@]}" | median)
o=$(printf '%s\n' "${without[@]}" | median)
echo "median of $rounds rounds of $count messages: bare $b, logging ($lines lines) $l," \
     "activator $w, without state file $o"
awk -v w="$w" -v o="$o" -v l="$l" -v b="$b" 'BEGIN {
  printf "activator / logging = %.2f, without state file / logging = %.2f\n", w / l, o / l
  printf "activator / bare = %.2f, without state file / bare = %.2f\n", w / b, o / b }'

# Memory: the resident set of the program grows by what it keeps for each job
# id. A first batch of jobs brings every thread, buffer and allocator arena
# into use; the growth from there to the end of the second batch, over its
# distinct ids, is what one more job costs the registry and the state file's
# journal. The client waits until the program has handled the batch's last
# message.
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
# memory <action> <state>: the growth over $jobs distinct ids sent with it.
memory() {
  fresh_state
  "$program" >/dev/null 2>&1 &
  server=$!
  "$client" 1000 "acao=$1&id_execucao=W{}&estado=$2" >/dev/null
  sleep 1
  before=$(rss "$server")
  "$client" "$jobs" "acao=$1&id_execucao=M{}&estado=$2" >"$tmp/jobs"
  sleep 1
  after=$(rss "$server")
  file=$(stat -c %s "$state")
  stop_server
  # Each client run also sends one untimed first message, a job of its own.
  echo "memory ($1): $((jobs + 1)) job ids after 1001 ($(sed 's/.*: //' "$tmp/jobs")):" \
       "resident ${before} KiB before, ${after} KiB after, state file $((file / 1024)) KiB"
  awk -v a="$after" -v b="$before" -v n="$((jobs + 1))" -v f="$file" -v all="$((jobs + 1002))" \
      -v what="$1" 'BEGIN {
    printf "resident memory per %s job id = %.0f bytes (the state file holds %.0f bytes per job id)\n",
           what, (a - b) * 1024 / n, f / all }'
}
# Announced ids all stay queued (no server shows them): every one is live.
memory continuar executando
# Updates of jobs never announced: out of view, so only the most recent are kept.
memory atualizar executando

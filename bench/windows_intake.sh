#!/usr/bin/env bash
# Intake throughput of activator.exe under wine: job messages per second on
# the job pipe, one connection each, against two baselines served the same
# way in the same run with the same client (bench/windows/): a bare
# connect-read-disconnect loop over the same pipe service, and the same loop
# appending as many log lines per message as the program writes, the way the
# debug log does. The program runs against the stand-in runtime, which this
# script registers in build-win's wine prefix.
#
# Usage: bench/windows_intake.sh [messages] [rounds]
# Needs build-win (scripts/test-windows makes it). Not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir="$root/build-win"
count=${1:-2000}
rounds=${2:-3}

cmake --build "$dir" --target bench_activator intake_client pipe_baseline standin_runtime >/dev/null
wine=$(sed -n 's/^ACTIVATOR_WINE:FILEPATH=//p' "$dir/CMakeCache.txt")
wineserver="$(dirname "$wine")/wineserver"
[[ -x $wineserver ]] || wineserver=wineserver
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

winpath() { echo "Z:${1//\//\\}"; }
lab="$dir/bench-labs/intake"
program="$dir/bench/windows/bench_activator.exe"
client="$dir/bench/windows/intake_client.exe"
baseline="$dir/bench/windows/pipe_baseline.exe"
standin=$(winpath "$dir/tests/windows/standin_runtime.dll")
message="acao=atualizar&id_execucao=B1&estado=executando"

"$wine" cmd /c exit >/dev/null 2>&1 || true
for class in Microsoft.Windows.AppNotifications.AppNotificationManager \
             Microsoft.Windows.AppNotifications.Builder.AppNotificationBuilder \
             Microsoft.Windows.AppNotifications.Builder.AppNotificationButton \
             Windows.Foundation.Uri; do
  key="HKLM\\Software\\Microsoft\\WindowsRuntime\\ActivatableClassId\\$class"
  "$wine" reg add "$key" /v DllPath /t REG_SZ /d "$standin" /f >/dev/null
  "$wine" reg add "$key" /v ActivationType /t REG_DWORD /d 0 /f >/dev/null
done

server=""
stop_server() {
  if [[ -n $server ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  server=""
}
trap 'stop_server; "$wineserver" -k 2>/dev/null || true' EXIT

# Runs the client against the server started by "$@"; prints messages/s.
measure() {
  "$wine" "$@" >/dev/null 2>&1 &
  server=$!
  local out
  out=$("$wine" "$client" "$count" "$message")
  stop_server
  sed -n 's/.*: \([0-9]*\) messages\/s.*/\1/p' <<<"$out"
}

# How many log lines the program writes per message: the distance between
# its last two "PYTHON PIPE RECEIVED=" lines.
log="$lab/Logs/activator_debug.txt"
measure "$program" >/dev/null
lines=$(awk '/^PYTHON PIPE RECEIVED=/ {prev = last; last = NR} END {print last - prev}' "$log")
echo "program: $lines log lines per message"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
bare=(); logged=(); prog=()
for ((r = 1; r <= rounds; r++)); do
  bare+=("$(measure "$baseline" 0 x)")
  logged+=("$(measure "$baseline" "$lines" "$(winpath "$lab/Logs/baseline_log.txt")")")
  prog+=("$(measure "$program")")
  echo "round $r: bare ${bare[-1]}, logging ${logged[-1]}, activator ${prog[-1]} messages/s"
done
b=$(printf '%s\n' "${bare[@]}" | median)
l=$(printf '%s\n' "${logged[@]}" | median)
p=$(printf '%s\n' "${prog[@]}" | median)
echo "median of $rounds rounds of $count messages: bare $b, logging ($lines lines) $l, activator $p"
awk -v p="$p" -v l="$l" -v b="$b" 'BEGIN {printf "activator / logging baseline = %.2f, / bare baseline = %.2f\n", p / l, p / b}'

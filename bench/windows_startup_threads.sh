#!/usr/bin/env bash
# 1000 starts of the start-up sequence under wine, each start's three worker
# threads seen running (bench/windows/startup_starts.cpp). With --compare it
# also runs the same number of detached std::thread triples, the way the
# threads were started before.
#
# Usage: bench/windows_startup_threads.sh [--compare] [starts]
# Needs build-win (scripts/test-windows makes it). Not part of the test run.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$(pwd)/build-win"
compare=0
starts=1000
for arg in "$@"; do
  case $arg in
    --compare) compare=1 ;;
    *) starts=$arg ;;
  esac
done

cmake --build "$dir" --target startup_starts >/dev/null
wine=$(sed -n 's/^ACTIVATOR_WINE:FILEPATH=//p' "$dir/CMakeCache.txt")
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

status=0
"$wine" "$dir/bench/windows/startup_starts.exe" "$starts" || status=1
if ((compare)); then
  "$wine" "$dir/bench/windows/startup_starts.exe" "$starts" --std-thread || true
fi
exit $status

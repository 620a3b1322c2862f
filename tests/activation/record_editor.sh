#!/bin/sh
# Stand-in text editor for the tests. Appends to editor_record.txt beside it
# how it was started: its argument count, each argument, and its open
# descriptors (listed by a child, so the listing opens nothing in this shell),
# then END. While a file named hold exists beside it, it waits (at most 20 s)
# before writing END, so a test can tell whether its starter waited for it.
here=$(dirname "$0")
record="$here/editor_record.txt"
{
  printf 'ARGC %s\n' "$#"
  for arg in "$@"; do printf 'ARG %s\n' "$arg"; done
} >>"$record"
ls -l "/proc/$$/fd" >>"$record"
tries=0
while [ -e "$here/hold" ] && [ "$tries" -lt 400 ]; do
  sleep 0.05
  tries=$((tries + 1))
done
echo END >>"$record"

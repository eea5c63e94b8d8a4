#!/usr/bin/env bash
# How ctest runs a cross-built test: under Wine, with the program's output
# going to a file first. Wine's helper processes (conhost.exe for a new
# console) inherit the program's standard streams and may outlive it; were
# those ctest's pipes, ctest would wait on them for ever.
out=$(mktemp)
wine "$@" </dev/null >"$out" 2>&1
rc=$?
# A test in a prefix of its own ends that prefix with it: nothing of it (a
# console host left over, the prefix's services) outlives the run.
if [ -n "${ZUNA_END_PREFIX:-}" ]; then
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
fi
cat "$out"
rm -f "$out"
exit $rc

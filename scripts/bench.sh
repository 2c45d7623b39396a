#!/usr/bin/env bash
# Runs every benchmark program of the build tree given as $1 (default: build).
# Each program compares itself against its own baseline in the same run.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
status=0
for exe in "$build"/bench/*/bench_*; do
  [ -x "$exe" ] || continue
  echo "== $(basename "$exe")"
  "$exe" "${@:2}" || status=1
done
exit $status

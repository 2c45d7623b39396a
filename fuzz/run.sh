#!/usr/bin/env bash
# Runs each fuzz target of a build tree for a number of seconds.
# Usage: fuzz/run.sh [build-dir] [seconds] [target...]   (default: build-fuzz 60 all)
# Each target starts from its committed seeds (fuzz/<target>/seeds) plus its
# working corpus (fuzz/corpus-run/<target>, kept between runs, not committed);
# crash inputs land in <build-dir>/artifacts/<target>/.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz}
seconds=${2:-60}
shift $(( $# > 2 ? 2 : $# ))
shopt -s nullglob

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/*/fuzz_*; do
    [ -x "$exe" ] && targets+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $build/fuzz" >&2; exit 1; }

python3 fuzz/make-seeds.py --runtime fuzz/corpus-run >/dev/null || exit 1

status=0
for name in "${targets[@]}"; do
  exe="$build/fuzz/$name/fuzz_$name"
  [ -x "$exe" ] || { echo "missing $exe" >&2; status=1; continue; }
  corpus="fuzz/corpus-run/$name"
  artifacts="$build/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  opts=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  [ -f "fuzz/$name/$name.dict" ] && opts+=(-dict="fuzz/$name/$name.dict")
  seeds=()
  [ -d "fuzz/$name/seeds" ] && seeds+=("fuzz/$name/seeds")
  echo "== fuzz_$name for ${seconds}s"
  if ! "$exe" "${opts[@]}" "$corpus" "${seeds[@]}" 2>"$build/fuzz-$name.log"; then
    echo "fuzz_$name FAILED: see $build/fuzz-$name.log and $artifacts/" >&2
    tail -n 40 "$build/fuzz-$name.log" >&2
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/fuzz-$name.log" | sed "s/^/  /"
done
exit $status

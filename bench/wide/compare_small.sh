#!/bin/sh
# Small dictionaries against the code before the lookup table: builds
# bench_small.cpp once against this working tree's library and once against
# the library of an older commit (by default the one before the table came),
# both the same way, then compares instructions per call (callgrind:
# repeatable on a busy machine) and wall time (the median of per-round ratios
# of interleaved runs), and the size of the handle types.
#   bench/wide/compare_small.sh [BASE_COMMIT]
# WORK (default build/compare-small) keeps both builds between runs;
# ROUNDS (default 9) wall-time rounds of each binary.
set -eu

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=${WORK:-$root/build/compare-small}
rounds=${ROUNDS:-9}
# The parent of the commit that added the table.
base=${1:-$(git -C "$root" log --format=%H --diff-filter=A -- Orvalis/Foundation/detail/DictIndex.cpp | tail -n 1)^}
base_id=$(git -C "$root" rev-parse --short "$base")
mkdir -p "$work"

# A project that builds the library of a source tree as a subproject (its
# tests, tools and examples stay off) and the bench against it.
build() {  # build NAME SOURCE_DIR
    mkdir -p "$work/$1"
    cat >"$work/$1/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.23)
project(compare_small_$1 CXX)
add_subdirectory("$2" orvalis)
add_executable(bench_small "$root/bench/wide/bench_small.cpp")
target_link_libraries(bench_small PRIVATE Orvalis::Orvalis)
EOF
    cmake -S "$work/$1" -B "$work/$1/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$work/$1/build" -j"${JOBS:-2}" --target bench_small >/dev/null
}

# The older sources are unpacked, never checked out into the working tree.
if [ ! -f "$work/base-src/.commit" ] || [ "$(cat "$work/base-src/.commit")" != "$base_id" ]; then
    rm -rf "$work/base-src" "$work/base"
    mkdir -p "$work/base-src"
    git -C "$root" archive "$base" | tar -x -C "$work/base-src"
    echo "$base_id" >"$work/base-src/.commit"
fi
echo "building the library at $base_id and the working tree's..."
build base "$work/base-src"
build current "$root"
now="$work/current/build/bench_small"
old="$work/base/build/bench_small"

cases="decode/json-12-keys decode/xml-10-children lookup/4-keys lookup/8-keys lookup/16-keys"

# Instructions of one call: the difference between 1,200 and 200 calls,
# so that first-call costs drop out.
instructions() {  # instructions BINARY CASE CALLS
    valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect='*runCase*' "$1" "$2" "$3" 2>&1 |
        sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}
per_call() {  # per_call BINARY CASE
    a=$(instructions "$1" "$2" 200)
    b=$(instructions "$1" "$2" 1200)
    echo $(((b - a) / 1000))
}

echo
printf '%-24s %14s %14s %8s\n' "instructions per call" "current" "$base_id" "ratio"
for c in $cases; do
    n=$(per_call "$now" "$c")
    o=$(per_call "$old" "$c")
    printf '%-24s %14s %14s %8s\n' "$c" "$n" "$o" "$(awk -v n="$n" -v o="$o" 'BEGIN { printf "%.4f", n / o }')"
done

# Wall time: the binaries take turns (which one goes first alternates), each
# round gives a ratio per case, and the median ratio is reported: drift on a
# busy machine hits both sides of a round alike.
i=0
: >"$work/wall"
while [ "$i" -lt "$rounds" ]; do
    if [ $((i % 2)) -eq 0 ]; then
        "$now" >"$work/wall-current"
        "$old" >"$work/wall-base"
    else
        "$old" >"$work/wall-base"
        "$now" >"$work/wall-current"
    fi
    paste -d " " "$work/wall-current" "$work/wall-base" | awk '$1 == $3 { print $1, $2, $4 }' >>"$work/wall"
    i=$((i + 1))
done
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo
printf '%-24s %14s %14s %8s\n' "ns per call (median)" "current" "$base_id" "ratio"
for c in $cases; do
    n=$(awk -v c="$c" '$1 == c { print $2 }' "$work/wall" | median)
    o=$(awk -v c="$c" '$1 == c { print $3 }' "$work/wall" | median)
    r=$(awk -v c="$c" '$1 == c { printf "%.4f\n", $2 / $3 }' "$work/wall" | median)
    printf '%-24s %14s %14s %8s\n' "$c" "$n" "$o" "$r"
done
rm -f "$work/wall" "$work/wall-current" "$work/wall-base"

echo
printf '%-24s %14s %14s\n' "size (bytes)" "current" "$base_id"
"$now" --sizes >"$work/sizes-current"
"$old" --sizes >"$work/sizes-base"
paste "$work/sizes-current" "$work/sizes-base" | awk '{ printf "%-24s %14s %14s\n", $1, $2, $4 }'

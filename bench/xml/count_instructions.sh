#!/bin/sh
# Instructions of one pass over each benchmark document (callgrind), for the
# converter and for expat plus the least a tree needs, as multiples of a bare
# expat pass. Repeatable where wall time is not (a busy machine).
#   bench/xml/count_instructions.sh [BENCH_XML ...]   (default build/bench/xml/bench_xml)
# Several binaries (e.g. one built before a change) are counted side by side.
set -eu

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
[ $# -gt 0 ] || set -- "$root/build/bench/xml/bench_xml"

count() {  # count BINARY KIND DOCUMENT
    valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*once*" "$1" "--once=$2:$3" 2>&1 |
        sed -n 's/.*Collected : *\([0-9]*\).*/\1/p'
}

for bin in "$@"; do
    echo "$bin"
    printf '  %-11s %14s %14s %14s %8s %8s\n' document bare bound dictionary bound ratio
    for doc in records text-heavy deep; do
        bare=$(count "$bin" bare "$doc")
        bound=$(count "$bin" bound "$doc")
        dict=$(count "$bin" dictionary "$doc")
        printf '  %-11s %14s %14s %14s %8s %8s\n' "$doc" "$bare" "$bound" "$dict" "$(awk -v a="$bound" -v b="$bare" 'BEGIN { printf "%.3f", a / b }')" \
            "$(awk -v a="$dict" -v b="$bare" 'BEGIN { printf "%.3f", a / b }')"
    done
done

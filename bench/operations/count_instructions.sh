#!/bin/sh
# Instructions (callgrind, every thread of the client) and system calls
# (strace -f, counted at two run lengths so that setup cancels out) per
# operation, one at a time with the key cache on, for the two floors (RSA-SHA1
# signature with the key loaded, bare libcurl GET on a reused connection) and
# each face; "beyond" is what a face adds to signature + GET. The RSA private-key
# operation itself (RSA_sign) is left out of both sides of "beyond": its blinding
# is renewed every 32 signatures at a cost that varies by the random values drawn,
# which would otherwise swamp a difference of a few thousand instructions.
#   bench/operations/count_instructions.sh [BENCH_OPERATIONS] [OPS]
#   (default build/bench/operations/bench_operations, 64 operations per case)
# Set SYSCALLS=0 to skip the strace runs. Where the build has the Python package
# (BUILD/python), its two clients follow (bench/operations/perop_python.py under
# callgrind at OPS and 5 x OPS operations, so that start-up cancels out); PYTHON=0
# skips them.
set -eu

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
bin=${1:-$root/build/bench/operations/bench_operations}
build=$(cd "$(dirname "$bin")/../.." && pwd)
ops=${2:-64}  # a multiple of 32: RSA blinding is renewed every 32 signatures
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cases="floor/signature floor/get perop/facade perop/get perop/co_await perop/c"
run() {  # run OPS FILTER [wrapper...]
    n=$1 filter=$2
    shift 2
    ORVALIS_BENCH_OPS=$n "$@" "$bin" "--benchmark_filter=^($filter)/" --benchmark_repetitions=1 \
        --benchmark_enable_random_interleaving=false >/dev/null 2>&1
}

run "$ops" 'floor|perop' valgrind --tool=callgrind --callgrind-out-file="$out/cg.%p"
counts() {  # counts FILE: its total and RSA_sign's inclusive instructions
    total=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$1")
    rsa=$(callgrind_annotate --inclusive=yes "$1" 2>/dev/null | awk '/:RSA_sign / { gsub(",", "", $1); print $1; exit }')
    echo "$total ${rsa:-0}"
}
for f in "$out"/cg.*; do
    name=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
    [ -n "$name" ] && echo "$name $(counts "$f")" >>"$out/instructions"
done
if [ "${PYTHON:-1}" != 0 ] && [ -d "$build/python/orvalis" ]; then
    py=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper script
    for face in blocking async; do
        for n in "$ops" $((ops * 5)); do
            PYTHONPATH=$build/python valgrind --tool=callgrind --callgrind-out-file="$out/py.$n" "$py" \
                "$root/bench/operations/perop_python.py" --sandbox "$build/tools/orvalis-sandbox/orvalis-sandbox" \
                --ops "$n" --face "$face" >/dev/null 2>&1
        done
        # The first run's counts taken from the second's: what ops x 4 operations cost, scaled to ops.
        counts "$out/py.$ops" >"$out/first"
        counts "$out/py.$((ops * 5))" | awk -v name="perop/python_$face" '
            NR == FNR { t = $1; r = $2; next } { printf "%s %.0f %.0f\n", name, ($1 - t) / 4, ($2 - r) / 4 }' \
            "$out/first" - >>"$out/instructions"
        cases="$cases perop/python_$face"
    done
fi

syscalls() {  # syscalls CASE OPS
    run "$2" "$1" strace -f -c -o "$out/strace"
    awk '$NF == "total" { print $(NF - 2) }' "$out/strace"
}

printf '%-16s %14s %12s %14s\n' case "instr/op" "x (sig+GET)" "syscalls/op"
sig=$(awk -v c=floor/signature '$1 == c { print $2 }' "$out/instructions")
sigRest=$(awk -v c=floor/signature '$1 == c { print $2 - $3 }' "$out/instructions")
get=$(awk -v c=floor/get '$1 == c { print $2 }' "$out/instructions")
for c in $cases; do
    n=$(awk -v c="$c" '$1 == c { print $2 }' "$out/instructions")
    rest=$(awk -v c="$c" '$1 == c { print $2 - $3 }' "$out/instructions")
    s=-
    if [ "${SYSCALLS:-1}" != 0 ] && [ "${c#perop/python}" = "$c" ]; then
        a=$(syscalls "$c" "$ops")
        b=$(syscalls "$c" $((ops * 5)))
        s=$(awk -v a="$a" -v b="$b" -v n="$ops" 'BEGIN { printf "%.1f", (b - a) / (4 * n) }')
    fi
    awk -v c="$c" -v n="$n" -v rest="$rest" -v sigRest="$sigRest" -v ops="$ops" -v sig="$sig" -v get="$get" \
        -v s="$s" 'BEGIN {
        per = n / ops; floor = (sig + get) / ops
        if (c ~ /^floor/) printf "%-16s %14.0f %12s %14s\n", c, per, "", s
        else printf "%-16s %14.0f %12.4f %14s   beyond: %.1f K\n", c, per, per / floor, s, (rest - sigRest - get) / ops / 1000
    }'
done

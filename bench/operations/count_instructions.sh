#!/bin/sh
# Instructions (callgrind, every thread of the process) and system calls
# (strace -f, counted at two run lengths so that setup cancels out) per
# operation, one at a time with the key cache on, for the two floors (RSA-SHA1
# signature with the key loaded; a bare libcurl request on a reused connection
# with the same method and header fields as the library's) and each face;
# "beyond" is what a face adds to signature + request, "x facade" each face
# against the callback facade. The RSA private-key operation itself
# (RSA_private_encrypt, blinding included) is not counted on either side:
# its blinding is renewed every 32 signatures at a cost that varies by the
# random values drawn, which would otherwise swamp a difference of a few
# thousand instructions.
#   bench/operations/count_instructions.sh [BENCH_OPERATIONS] [OPS]
#   (default build/bench/operations/bench_operations, 32 operations per case)
# Set SYSCALLS=0 to skip the strace runs, KEEP=DIR to keep the callgrind files
# (callgrind_annotate --inclusive=yes DIR/cg.* shows where each case's
# instructions go). Where the build has the Python package (BUILD/python), its
# two clients follow (bench/operations/perop_python.py under callgrind at OPS
# and 5 x OPS operations, so that start-up cancels out); PYTHON=0 skips them.
set -eu

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
bin=${1:-$root/build/bench/operations/bench_operations}
build=$(cd "$(dirname "$bin")/../.." && pwd)
ops=${2:-32}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# Collection stops while a thread is inside the RSA private operation, and
# while the program makes its test key (a search for primes: its cost varies
# by far more than an operation's).
callgrind="valgrind --tool=callgrind --toggle-collect=RSA_private_encrypt --toggle-collect=RSA_generate_multi_prime_key --collect-atstart=yes"
cases="floor/signature floor/get perop/facade perop/get perop/co_await perop/c"
run() {  # run OPS FILTER [wrapper...]
    n=$1 filter=$2
    shift 2
    ORVALIS_BENCH_OPS=$n "$@" "$bin" "--benchmark_filter=^($filter)/" --benchmark_repetitions=1 \
        --benchmark_enable_random_interleaving=false >/dev/null 2>&1
}

counts() {  # counts FILE...: instructions counted in all of them
    cat "$@" | awk '/^summary:/ { s += $2 } END { print s }'
}
# Each case in processes of its own, at OPS and 3 x OPS operations: the
# difference is what 2 x OPS operations cost, start-up, warm-up, threads
# started and every other one-off cancelled out.
for c in $cases; do
    for n in "$ops" $((ops * 3)); do
        run "$n" "$c" $callgrind --callgrind-out-file="$out/cg.${c%/*}_${c#*/}.$n.%p"
    done
    echo "$c $(counts "$out/cg.${c%/*}_${c#*/}.$ops".*) $(counts "$out/cg.${c%/*}_${c#*/}.$((ops * 3))".*)" |
        awk '{ printf "%s %.0f\n", $1, ($3 - $2) / 2 }' >>"$out/instructions"
done
if [ "${PYTHON:-1}" != 0 ] && [ -d "$build/python/orvalis" ]; then
    py=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper script
    for face in blocking async; do
        for n in "$ops" $((ops * 5)); do
            PYTHONPATH=$build/python $callgrind --callgrind-out-file="$out/py.$face.$n" "$py" \
                "$root/bench/operations/perop_python.py" --sandbox "$build/tools/orvalis-sandbox/orvalis-sandbox" \
                --ops "$n" --face "$face" >/dev/null 2>&1
        done
        # The first run's counts taken from the second's: what ops x 4 operations cost, scaled to ops.
        awk -v name="perop/python_$face" -v a="$(counts "$out/py.$face.$ops")" -v b="$(counts "$out/py.$face.$((ops * 5))")" \
            'BEGIN { printf "%s %.0f\n", name, (b - a) / 4 }' >>"$out/instructions"
        cases="$cases perop/python_$face"
    done
fi

syscalls() {  # syscalls CASE OPS
    run "$2" "$1" strace -f -c -o "$out/strace"
    awk '$NF == "total" { print $(NF - 2) }' "$out/strace"
}

printf '%-16s %14s %14s %10s %14s\n' case "instr/op" "beyond (K)" "x facade" "syscalls/op"
value() { awk -v c="$1" '$1 == c { print $2 }' "$out/instructions"; }
sig=$(value floor/signature)
get=$(value floor/get)
facade=$(value perop/facade)
for c in $cases; do
    n=$(value "$c")
    s=-
    if [ "${SYSCALLS:-1}" != 0 ] && [ "${c#perop/python}" = "$c" ]; then
        a=$(syscalls "$c" "$ops")
        b=$(syscalls "$c" $((ops * 5)))
        s=$(awk -v a="$a" -v b="$b" -v n="$ops" 'BEGIN { printf "%.1f", (b - a) / (4 * n) }')
    fi
    awk -v c="$c" -v n="$n" -v ops="$ops" -v sig="$sig" -v get="$get" -v facade="$facade" -v s="$s" 'BEGIN {
        if (c ~ /^floor/) printf "%-16s %14.0f %14s %10s %14s\n", c, n / ops, "", "", s
        else printf "%-16s %14.0f %14.1f %10.4f %14s\n", c, n / ops, (n - sig - get) / ops / 1000, n / facade, s
    }'
done
if [ -n "${KEEP:-}" ]; then mkdir -p "$KEEP" && cp "$out"/cg.* "$out"/py.* "$KEEP"/ 2>/dev/null || true; fi

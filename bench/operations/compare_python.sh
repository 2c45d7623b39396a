#!/bin/sh
# The Python package's CPU per operation against the C interface's (perop/c) and
# the two floors (RSA-SHA1 signature alone, bare libcurl GET), one operation at a
# time with the key cache on, on a reused connection. The C and Python runs
# alternate ROUNDS times (default 5) so that both see the same load; the figures
# are each side's median. floor/asyncio_handoff is what asyncio alone costs an
# awaited call that another thread completes (no library in it).
#   bench/operations/compare_python.sh [BUILD_DIR] [OPS]   (default build, 1000 operations per run)
set -eu

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
build=${1:-$root/build}
ops=${2:-1000}
rounds=${ROUNDS:-5}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for i in $(seq "$rounds"); do
    ORVALIS_BENCH_OPS=$ops "$build/bench/operations/bench_operations" '--benchmark_filter=^(floor|perop/c)/' \
        --benchmark_repetitions=1 2>/dev/null |
        awk '$1 ~ /^(floor\/signature|floor\/get|perop\/c)$/ && NF >= 2 { print $1, $2 }' >>"$out/c"
    PYTHONPATH=$build/python python3 "$root/bench/operations/perop_python.py" \
        --sandbox "$build/tools/orvalis-sandbox/orvalis-sandbox" --ops "$ops" >>"$out/c"
done
awk -v rounds="$rounds" '
    { v[$1, ++n[$1]] = $2 }
    function median(name,   k, i, j, t, a) {
        k = n[name]
        for (i = 1; i <= k; ++i) a[i] = v[name, i]
        for (i = 1; i <= k; ++i) for (j = i + 1; j <= k; ++j) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    END {
        sig = median("floor/signature"); get = median("floor/get"); c = median("perop/c")
        printf "%-20s %12s %12s %16s   (median of %d runs)\n", "per operation", "CPU us", "x perop/c",
            "beyond floors us", rounds
        printf "%-20s %12.1f\n%-20s %12.1f\n", "floor/signature", sig, "floor/get", get
        h = median("floor/asyncio_handoff")
        printf "%-20s %12.1f %12.3f   (asyncio alone: a future set from another thread, awaited)\n", "floor/asyncio_handoff", h, h / c
        split("perop/c perop/python perop/python_async", faces, " ")
        for (f = 1; f <= 3; ++f) {
            m = median(faces[f])
            printf "%-20s %12.1f %12.3f %16.1f\n", faces[f], m, m / c, m - sig - get
        }
    }' "$out/c"

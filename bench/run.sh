#!/usr/bin/env bash
# Runs the benchmarks from an unsanitized release build, then prints a summary table:
# ./dev bench [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TVB_BENCH_BUILD_DIR:-$root/build-bench}"
if [ "${1:-}" = "--quick" ]; then
    export BENCH_REQUEST_SECONDS=${BENCH_REQUEST_SECONDS:-0.3}
    export BENCH_IDLE_TICKS=${BENCH_IDLE_TICKS:-10}
    export BENCH_REFRESH_BOUND=${BENCH_REFRESH_BOUND:-3}
fi
for tool in strace; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVB_SANITIZE=OFF \
    -DTVB_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target bench_request bench_refresh bench_idle bench_preferences_memory bench_process_walk -j "$(nproc)"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
started=$(date +%s)
load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), load $(load) at the start"

# Each program prints its report; lines starting with "summary|" are kept for the table.
# One that fails is named at the end, and the others still run.
failed=()
run() {
    echo
    if ! "$@" | tee -a "$log" | grep -v '^summary|'; then
        failed+=("$(basename "$1")${2:+ $2}")
    fi
}
run "$build/bench/bench_request"
run "$build/bench/bench_idle"
run "$build/bench/bench_refresh" 1
run "$build/bench/bench_refresh" 4
run "$build/bench/bench_preferences_memory"
run "$build/bench/bench_process_walk"

echo
echo "== summary ($(date -u '+%Y-%m-%d %H:%M UTC'), $(($(date +%s) - started)) s, load $(load) at the end) =="
# Floors first, then what is measured against them: ratios, exponents, idle, memory.
for section in floor request ratio exponent refresh block idle memory walk; do
    awk -F'|' -v s="$section" '$1 == "summary" && $2 == s {
        if (!shown) { print s; shown = 1 }
        print "  " $3 ": " $4 }' "$log"
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "bench: failed: ${failed[*]}" >&2
    exit 1
fi

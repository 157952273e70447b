#!/usr/bin/env bash
# Runs the benchmarks from an unsanitized release build: ./dev bench [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVB_SANITIZE=OFF -DTVB_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target bench_poller bench_poller_process bench_hotplug_storm bench_preferences_memory -j "$(nproc)"
idle=60
[ "${1:-}" = "--quick" ] && idle=10
"$build/bench/bench_poller" --benchmark_min_time=0.5
"$build/bench/bench_hotplug_storm"
BENCH_IDLE_SECONDS=$idle "$build/bench/bench_poller_process"
"$build/bench/bench_preferences_memory"

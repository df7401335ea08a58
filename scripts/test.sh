#!/usr/bin/env bash
# Installs what is needed, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"

# The benchmarks build and run briefly (a smoke run: their figures are not
# checked here; bench/README.md says how to measure).
cmake -S . -B build -DHVR_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" --target hvr_bench hvr_ir_count hvr_poll_line
build/bench/hvr_bench --benchmark_min_time=0.01
build/bench/hvr_ir_count default small 1
build/bench/hvr_poll_line --site small --cycles 1

#!/usr/bin/env bash
# Installs what is needed, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"

# Another build type than the default, so that a warning that only the
# optimiser at -O3 finds cannot come back unnoticed (built, not run again).
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$(nproc)"

# The unit tests and the site host's HTTP port under attack, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (labels unit, sanitize).
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVR_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)" --target hvr_tests krthost hvr38qt-sim hvr38qt
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" -L '^(unit|sanitize)$'

# Each fuzz target for FUZZ_SECONDS (default 30: six targets in some four
# minutes) from its committed corpus, with the lengths of scripts/fuzz.sh.
# New inputs go to build-fuzz/corpus/; a crash is kept in build-fuzz/artifacts/
# and fails the run. Longer campaigns: scripts/fuzz.sh HOURS.
FUZZ_SECONDS="${FUZZ_SECONDS:-30}"
CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVR_BUILD_FUZZ=ON \
  -DHVR_BUILD_TESTS=OFF -DHVR_BUILD_TOOLS=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets
declare -A fuzz_max_len=([fuzz_frame_stream]=4400 [fuzz_device_cycle]=4500 [fuzz_settings]=4096
                         [fuzz_cache_restore]=4500 [fuzz_site_file]=4096 [fuzz_http_request]=2048)
for target in fuzz_frame_stream fuzz_device_cycle fuzz_settings fuzz_cache_restore fuzz_site_file \
              fuzz_http_request; do
  mkdir -p "build-fuzz/corpus/$target" build-fuzz/artifacts
  echo "fuzzing $target for ${FUZZ_SECONDS}s"
  if ! "build-fuzz/fuzz/$target" -max_total_time="$FUZZ_SECONDS" -max_len="${fuzz_max_len[$target]}" \
      -timeout=10 -entropic_scale_per_exec_time=1 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" \
      "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"build-fuzz/$target.log" 2>&1; then
    tail -n 60 "build-fuzz/$target.log"
    echo "$target failed: input kept in build-fuzz/artifacts/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^Done ' "build-fuzz/$target.log" || true
done

# The benchmarks build and run briefly (a smoke run: their figures are not
# checked here; bench/README.md says how to measure).
cmake -S . -B build -DHVR_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" --target hvr_bench hvr_ir_count hvr_poll_line hvr_site_scale hvr_history_rows
build/bench/hvr_bench --benchmark_min_time=0.01
build/bench/hvr_ir_count default small 1
build/bench/hvr_poll_line --site small --cycles 1
build/bench/hvr_site_scale --devices 5 --seconds 2 --warmup 1 --history-rows 20
build/bench/hvr_history_rows --devices 20 --rows-before 5 --seconds 2

#!/usr/bin/env bash
# A fuzzing campaign: scripts/fuzz.sh HOURS [TARGET...]
#
# Builds the fuzz targets in build-fuzz/ and gives each target (all six by
# default) an equal share of HOURS, with FUZZ_JOBS parallel jobs (default:
# the number of cores; -jobs and -workers). New inputs collect in
# build-fuzz/campaign/<target>/; at the end of each target's share those that
# add coverage are merged into fuzz/corpus/<target> (-merge=1), so the
# committed corpus stays small. Crashes go to build-fuzz/campaign/crashes/;
# a target that crashed is restarted (up to FUZZ_RESTARTS times) for the
# rest of its share. Prints the executions per target and the crashes, and
# exits non-zero when there was one.
#
# On a shared machine: FUZZ_JOBS=1 nice -n 19 scripts/fuzz.sh 1
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 ]] || ! [[ $1 =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  echo "usage: scripts/fuzz.sh HOURS [TARGET...]" >&2
  exit 2
fi
hours=$1
shift
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  targets=(fuzz_frame_stream fuzz_device_cycle fuzz_settings fuzz_cache_restore fuzz_site_file fuzz_http_request)
fi
jobs="${FUZZ_JOBS:-$(nproc)}"
restarts="${FUZZ_RESTARTS:-3}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"

# Longest input per target: frames up to their longest (4111 characters)
# plus chunk bytes; a few cycles of replies; site files and requests are
# short. Longer inputs only make executions slower.
max_len() {
  case $1 in
    fuzz_frame_stream) echo 4400 ;;
    fuzz_device_cycle | fuzz_cache_restore) echo 4500 ;;
    fuzz_settings | fuzz_site_file) echo 4096 ;;
    fuzz_http_request) echo 2048 ;;
    *) echo 4096 ;;
  esac
}

CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHVR_BUILD_FUZZ=ON \
  -DHVR_BUILD_TESTS=OFF -DHVR_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_targets >/dev/null

campaign="$build/campaign"
crashes="$campaign/crashes"
mkdir -p "$crashes"
# Absolute: the parallel jobs run in their log folder.
campaign=$(realpath "$campaign")
crashes=$(realpath "$crashes")
root=$PWD
stamp="$campaign/.started"
touch "$stamp"
share=$(awk -v h="$hours" -v n="${#targets[@]}" 'BEGIN { s = int(h * 3600 / n); print (s < 1 ? 1 : s) }')
echo "fuzzing ${#targets[@]} targets for ${share}s each with $jobs job(s)"

summary=()
for target in "${targets[@]}"; do
  bin=$(realpath "$build/fuzz/$target")
  work="$campaign/$target"
  logs="$campaign/$target.logs"
  mkdir -p "$work" "$logs" "fuzz/corpus/$target"
  before=$(find "$crashes" -name "$target-*" | wc -l)
  start=$SECONDS
  run=0
  while (( SECONDS - start < share && run <= restarts )); do
    left=$(( share - (SECONDS - start) ))
    opts=(-max_total_time="$left" -max_len="$(max_len "$target")" -timeout=10 -rss_limit_mb=2048
          -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$crashes/$target-")
    if (( jobs > 1 )); then
      (cd "$logs" && "$bin" "${opts[@]}" -jobs="$jobs" -workers="$jobs" \
        "$work" "$root/fuzz/corpus/$target" >"run$run.log" 2>&1) || true
    else
      "$bin" "${opts[@]}" "$work" "fuzz/corpus/$target" >"$logs/fuzz-$run.log" 2>&1 || true
    fi
    run=$((run + 1))
  done
  execs=$(cat "$logs"/*.log 2>/dev/null | awk '/^stat::number_of_executed_units/ { s += $2 } END { print s + 0 }')
  found=$(( $(find "$crashes" -name "$target-*" | wc -l) - before ))
  # Keep only the inputs that add coverage to the committed corpus.
  "$bin" -merge=1 -max_len="$(max_len "$target")" -timeout=10 -rss_limit_mb=2048 \
    "fuzz/corpus/$target" "$work" >"$logs/merge.log" 2>&1 || true
  entries=$(find "fuzz/corpus/$target" -type f | wc -l)
  line=$(printf '%-20s %12s executions in %5ss, %d crash(es), corpus %d files' \
    "$target" "$execs" "$(( SECONDS - start ))" "$found" "$entries")
  echo "$line"
  summary+=("$line")
done

echo
echo "campaign summary"
printf '%s\n' "${summary[@]}"
mapfile -t kept < <(find "$crashes" -type f -newer "$stamp" 2>/dev/null | sort)
if [[ ${#kept[@]} -gt 0 ]]; then
  echo "crashes kept in $crashes:"
  printf '  %s\n' "${kept[@]}"
  echo "replay one with: $build/fuzz/<target> FILE" >&2
  exit 1
fi
echo "no crashes"

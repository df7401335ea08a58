#!/usr/bin/env bash
# Instructions per report of the rule sets and their floors, and per
# iteration of the other workloads, counted by callgrind: a steadier second
# opinion than the timings of hvr_bench. Usage: bench/callgrind.sh [BUILD_DIR]
set -euo pipefail
build="${1:-build-bench}"
tool="$build/bench/hvr_ir_count"
iterations=20
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

# Prints "<units per iteration> <instructions per iteration>".
count() {
  local file="$out/$1-$2.cg"
  local units
  units=$(valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect='bench::Measured*' \
    "$tool" "$1" "$2" "$iterations" 2>/dev/null | head -n1 | cut -d' ' -f1)
  local ir
  ir=$(grep -E '^(summary|totals):' "$file" | head -n1 | awk '{print $2}')
  echo "$units $((ir / iterations))"
}

printf '%-22s %9s %14s %12s %8s\n' workload/site units Ir/iteration Ir/unit "x floor"
for site in small large; do
  for workload in decode snapshot getvalue; do
    read -r units ir < <(count "$workload" "$site")
    awk -v n="$workload/$site" -v u="$units" -v i="$ir" 'BEGIN { printf "%-22s %9s %14s %12.1f\n", n, u, i, i / u }'
  done
  for set in default mobile; do
    read -r units ir < <(count "$set" "$site")
    read -r _ floor < <(count "floor-$set" "$site")
    awk -v n="$set/$site" -v u="$units" -v i="$ir" -v f="$floor" \
      'BEGIN { printf "%-22s %9s %14s %12.1f %8.2f\n", n, u, i, i / u, i / f }'
  done
done

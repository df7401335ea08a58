#!/usr/bin/env bash
# Installs what is needed, builds, and runs the reference host against the
# built-in controller simulator for a few polls. Extra arguments go to krthost.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
if [ $# -eq 0 ]; then set -- --cycles 5 --interval-ms 1000 --query va1,vb1,vc1,out_v,ac; fi
exec build/tools/krthost "$@"

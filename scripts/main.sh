#!/usr/bin/env bash
# Installs what is needed, builds, and runs the reference host against the
# built-in controller simulator for a few polls. Extra arguments go to krthost.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
# The demo configuration runs the default alarm rule set, so the polls show
# the simulated site's active alarms.
if [ $# -eq 0 ]; then
  set -- --config config/demo-site.json --cycles 5 --interval-ms 1000 --query va1,vb1,vc1,out_v,ac
fi
exec build/tools/krthost "$@"

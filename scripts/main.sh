#!/usr/bin/env bash
# Installs what is needed, builds, and runs the site host on the example
# site: three controllers on the built-in simulator, history in
# config/krthost-data, the status page on http://127.0.0.1:9838/. Runs until
# Ctrl-C. Extra arguments go to krthost instead (for instance a one-device
# run: scripts/main.sh --config config/demo-site.json --cycles 5).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
if [ $# -eq 0 ]; then
  set -- serve config/site-example.json
fi
exec build/tools/krthost "$@"

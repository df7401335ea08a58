#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 valgrind
  clang-14 libclang-rt-14-dev
  ccache
  libsqlite3-dev sqlite3 libcpp-httplib-dev libssl-dev libcli11-dev libmosquitto-dev
  mosquitto mosquitto-clients prometheus chromium fonts-wqy-microhei systemd
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

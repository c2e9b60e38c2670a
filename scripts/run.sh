#!/usr/bin/env bash
# Installs what is needed, builds, and starts linkprobe (under Xvfb when there is no display).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DLP_BUILD_TESTS=OFF -DLP_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target linkprobe
if [ -z "${DISPLAY:-}" ]; then
  echo "No DISPLAY: starting linkprobe on a virtual X server (xvfb-run)."
  exec xvfb-run -a -s "-screen 0 1024x768x24" build/app/linkprobe "$@"
fi
exec build/app/linkprobe "$@"

#!/usr/bin/env bash
# Installs what is missing, builds the libraries and runs the main job.
# The web server host and the settings daemon are not built yet: for now this builds
# liblprcgi.so and liblprcommon.so and says where they are.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
echo
echo "Built:"
ls -l build/release/lib/liblprcgi.so* build/release/lib/liblprcommon.so* | sed 's/^/  /'
echo
echo "The reference web server (tools/lpr-webd) and the settings daemon"
echo "(tools/lpr-settingsd) will be started from here once they exist."

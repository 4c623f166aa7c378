#!/usr/bin/env bash
# The main job: builds the device-installation simulator and runs it. Without arguments it runs
# the embedded default scenario on the embedded default machine; arguments go to the simulator
# (see tools/devsim/README.md).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh host
cmake --preset host >/dev/null
cmake --build --preset host --target devsim >/dev/null
exec build/host/tools/devsim/devsim "$@"

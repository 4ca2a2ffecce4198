#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool together with the simulated unit,
# wired through a pseudo-terminal pair (choose Com 1 in the tool's dialog).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
exec "${KELM_BUILD_DIR:-$root/build}/sim/kelm-demo" "$@"

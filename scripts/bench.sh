#!/usr/bin/env bash
# Installs what is missing, builds and runs the benchmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
exec "${KELM_BUILD_DIR:-$root/build}/bench/kelm_bench" "$@"

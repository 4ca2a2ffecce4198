#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite offscreen.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "${KELM_BUILD_DIR:-$root/build}"
ctest --output-on-failure --timeout 600 -j2

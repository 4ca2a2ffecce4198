#!/usr/bin/env bash
# Renders the README's pictures offscreen into docs/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
build=${KELM_BUILD_DIR:-$root/build}
export QT_QPA_PLATFORM=offscreen
# The pictures show the start values, whatever this machine remembers.
export XDG_CONFIG_HOME=/dev/null/kelm-screenshots
"$build/docs/kelm_screenshots" "$root/docs"
"$build/sim/kelm-demo" --screenshot "$root/docs/kelm-with-unit.png"

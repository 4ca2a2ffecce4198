#!/usr/bin/env bash
# Installs what is missing, builds and starts the tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
exec "${KELM_BUILD_DIR:-$root/build}/app/kelm"

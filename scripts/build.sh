#!/usr/bin/env bash
# Configures and builds into build/ (or $KELM_BUILD_DIR), with extra CMake options passed on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELM_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

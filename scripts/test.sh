#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite offscreen: the tests, the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer, and the Debian package (built,
# checked, installed, tried and removed). KELM_QUICK=1 runs the plain tests only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export QT_QPA_PLATFORM=offscreen
"$root/scripts/install-deps.sh"

echo "== tests"
"$root/scripts/build.sh"
(cd "${KELM_BUILD_DIR:-$root/build}" && ctest --output-on-failure --timeout 600 -j2)
count=$(cd "${KELM_BUILD_DIR:-$root/build}" && ctest -N | sed -n 's/^Total Tests: //p')
passed=$count
[ "${KELM_QUICK:-0}" = 1 ] && { echo "suite: $passed passed, 0 failed"; exit 0; }

echo "== package"
"$root/scripts/package.sh"
passed=$((passed + 1))

echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer"
asan=${KELM_ASAN_BUILD_DIR:-$root/build-asan}
KELM_BUILD_DIR=$asan "$root/scripts/build.sh" -DKELM_SANITIZE=ON
(
    cd "$asan"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
    ctest --output-on-failure --timeout 900 -j2
)
passed=$((passed + count))
echo "suite: $passed passed, 0 failed"

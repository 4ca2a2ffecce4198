#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (plus ASan and UBSan) and runs each for the
# given number of seconds (default 60), starting from the committed seed corpus.
#   scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(oncomm empfangen)

KELM_WITH_FUZZ=1 "$root/scripts/install-deps.sh"
build=${KELM_FUZZ_BUILD_DIR:-$root/build-fuzz}
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKELM_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
    # The seed corpus stays as committed; what the run finds goes to a scratch copy.
    mkdir -p "$work/$t"
    cp "$root/tests/fuzz/corpus/$t/"* "$work/$t/"
    echo "fuzz_$t: ${seconds} s"
    (cd "$work" && "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 "$work/$t" 2>"$work/$t.log") || {
        tail -n 60 "$work/$t.log"
        echo "fuzz_$t failed; the input that broke it is in the log above"
        exit 1
    }
    grep -E "^Done|stat::number_of_executed_units" "$work/$t.log" | head -2
done

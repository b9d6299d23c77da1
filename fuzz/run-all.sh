#!/usr/bin/env bash
# Fuzzes every target for a while (default an hour each, two at a time), starting from the
# kept corpora; new inputs land in fuzz/work/<target>, findings in fuzz/work as crash-* files.
#   fuzz/run-all.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVISTREL_FUZZ=ON -DVISTREL_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz_dib fuzz_regfile fuzz_store_values
mkdir -p fuzz/work
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp"
run() {
    local target=$1 corpus=$2
    mkdir -p "fuzz/work/$corpus"
    (cd fuzz/work && "../../build-fuzz/bin/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -rss_limit_mb=4096 "$corpus" "../corpus/$corpus" > "$target.log" 2>&1) &
}
run fuzz_dib dib
run fuzz_regfile regfile
wait
run fuzz_store_values store
wait
grep -H -E 'stat::number_of_executed_units|Deadly|ERROR' fuzz/work/*.log || true

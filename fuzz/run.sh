#!/usr/bin/env bash
# Runs every fuzz target on a scratch copy of its seeds, sharing the time
# given among them, and prints how many inputs each ran per second.
# Usage: fuzz/run.sh FUZZ_BUILD_DIR [TOTAL_SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
total=${2:-30}
targets=(container pack kfstool_args flash)
seconds=$(( total / ${#targets[@]} ))
[ "$seconds" -ge 1 ] || seconds=1
status=0
for target in "${targets[@]}"; do
    work=$(mktemp -d)
    cp "$here/corpus/$target"/* "$work/"
    echo "fuzzing $target for $seconds s"
    log=$work/fuzz.log
    if ! (cd "$work" && "$build/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=4096 \
            -print_final_stats=1 "$work" >"$log" 2>&1); then
        tail -n 40 "$log"
        echo "fuzz_$target found a crash (artifacts in $work)"
        status=1
        continue
    fi
    awk -v t="$target" '/^stat::number_of_executed_units:/ { runs = $2 }
        /^stat::average_exec_per_sec:/ { rate = $2 }
        /^stat::peak_rss_mb:/ { rss = $2 }
        END { printf "fuzz_%s: %d inputs, %d executions per second, peak %d MB\n", t, runs, rate, rss }' "$log"
    rm -rf "$work"
done
exit $status

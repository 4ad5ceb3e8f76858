#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a scratch copy of its seeds.
# Usage: fuzz/run.sh FUZZ_BUILD_DIR SECONDS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-30}
status=0
for target in container; do
    work=$(mktemp -d)
    cp "$here/corpus/$target"/* "$work/"
    echo "fuzzing $target for $seconds s"
    if ! (cd "$work" && "$build/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=4096 \
            -print_final_stats=1 "$work" 2>&1 | tail -n 25); then
        echo "fuzz_$target found a crash (artifacts in $work)"
        status=1
        continue
    fi
    rm -rf "$work"
done
exit $status

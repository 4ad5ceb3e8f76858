#!/usr/bin/env bash
# Builds the project and shows the compiled-in firmware container.
set -euo pipefail
export UPDATER_ROOT=$(cd "$(dirname "$0")" && pwd)
cd "$UPDATER_ROOT"
source scripts/prereqs.sh
need_packages cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
B=${UPDATER_BUILD:-$UPDATER_ROOT/build}
mkdir -p "$B"
build_tree "$B/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$B/native/tools/kfstool" info --builtin

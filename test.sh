#!/usr/bin/env bash
# Builds every target and runs every test; exits non-zero on any failure.
set -uo pipefail
export UPDATER_ROOT=$(cd "$(dirname "$0")" && pwd)
cd "$UPDATER_ROOT"
source scripts/prereqs.sh
# What cannot be installed fails the steps that need it; the others still run.
need_packages "${UPDATER_PACKAGES[@]}" || echo "test.sh: some prerequisites are missing; the steps that need them fail"

B=${UPDATER_BUILD:-$UPDATER_ROOT/build}
mkdir -p "$B"
passed=0
failed=0
failures=()
# step NAME "GROUP..." COMMAND...: the GROUPs name the PACKAGES_ lists of what the step needs.
step() {
    local name=$1 group lacking=()
    echo "=== $name"
    for group in $2; do
        local -n needs=PACKAGES_$group
        mapfile -t -O ${#lacking[@]} lacking < <(missing_packages "${needs[@]}")
        unset -n needs
    done
    shift 2
    local start=$SECONDS
    if [ ${#lacking[@]} -gt 0 ]; then
        failed=$((failed + 1))
        failures+=("$name (not installed: ${lacking[*]})")
        echo "=== $name: FAILED: not installed: ${lacking[*]}"
    elif "$@"; then
        passed=$((passed + 1))
        echo "=== $name: ok ($((SECONDS - start)) s)"
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "=== $name: FAILED ($((SECONDS - start)) s)"
    fi
}

native() { build_tree "$B/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo && ctest --test-dir "$B/native" --output-on-failure -j 2; }
sanitized() {
    build_tree "$B/asan" -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON &&
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir "$B/asan" --output-on-failure -j 2
}
# Line and branch coverage of the product code the native tests reach, for the record (a tree of its
# own: the sanitizers' checks would count as branches). The rig's helper programs and the tests
# themselves are left out; throw and unreachable branches are not counted.
coverage() {
    find "$B/coverage" -name '*.gcda' -delete 2>/dev/null
    build_tree "$B/coverage" -DCMAKE_BUILD_TYPE=Debug -DUPDATER_COVERAGE=ON &&
        ctest --test-dir "$B/coverage" -j 2 >"$B/coverage.ctest.log" 2>&1
    local filters=(--exclude-throw-branches --exclude-unreachable-branches --exclude '^tests/' --exclude '^bench/'
                   --exclude '^fuzz/' --exclude '^build/' --exclude 'tools/(tcmu|inqloop|exclhold)/' --exclude 'tools/mkdemo')
    gcovr --root . --object-directory "$B/coverage" "${filters[@]}" -j 2 --branches --sort-uncovered "$B/coverage" |
        tail -n 25
    gcovr --root . --object-directory "$B/coverage" "${filters[@]}" -j 2 --print-summary "$B/coverage" | tail -n 3
}
fuzz() {
    build_tree "$B/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_FUZZ=ON \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang &&
        fuzz/run.sh "$B/fuzz/fuzz" "${UPDATER_FUZZ_SECONDS:-30}"
}
bench() { "$B/native/bench/updater_bench" --benchmark_min_time=0.2; }
# Every manual page formats without a warning.
manuals() {
    local page warnings ok=0
    for page in man/*.1; do
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || { echo "$page:"; echo "$warnings"; ok=1; }
    done
    return $ok
}
windows() {
    build_tree "$B/win32" -DCMAKE_TOOLCHAIN_FILE="$UPDATER_ROOT/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release &&
        build_tree "$B/win64" -DCMAKE_TOOLCHAIN_FILE="$UPDATER_ROOT/cmake/mingw-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
}

step "native build and tests" NATIVE native
step "sanitizer build and tests" NATIVE sanitized
step "coverage" "NATIVE COVERAGE" coverage
step "fuzzing" "NATIVE FUZZ" fuzz
step "benchmark" NATIVE bench
step "windows builds" "NATIVE WINDOWS" windows
# The release program as users get it: its imports, and the same bytes from a second build.
step "release imports" WINDOWS tests/release/imports.sh "$B"
step "release reproducible" "NATIVE WINDOWS" tests/release/reproducible.sh "$B"
step "manual pages" MANUALS manuals
# The Debian package and the Windows zip, unpacked and run as users get them.
step "packages" "NATIVE PACKAGES" tests/package/packages.sh "$B"
# End-to-end steps (they use the builds above):
for e2e in tests/e2e/*.sh; do
    [ -e "$e2e" ] || continue
    case $(basename "$e2e") in
        qemu_*) needs="NATIVE WINDOWS WINE RIG" ;;
        *) needs="NATIVE WINDOWS WINE" ;;
    esac
    step "$(basename "$e2e" .sh)" "$needs" "$e2e" "$B"
done

echo
[ $failed -eq 0 ] || printf 'failed: %s\n' "${failures[@]}"
echo "test.sh: $passed passed, $failed failed"
[ $failed -eq 0 ]

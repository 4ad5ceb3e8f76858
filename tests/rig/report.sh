# What a guest that did not run its script to the end left behind, for the
# reader of a failed step. Sourced; the caller sets OUT (the run's folder).
show_guest_tail() {
    echo "--- last lines of the guest's console:"
    tail -n 20 "$OUT/console.log" 2>/dev/null
    echo "--- the guest script's output:"
    tail -n 40 "$OUT/output.log" 2>/dev/null
}

# The PASS and FAIL lines of a run and its summary. begin_checks NAME starts the count;
# a caller that leaves things to clear away defines checks_cleanup, which finish runs first.
begin_checks() {
    CHECKS=$1
    start=$SECONDS
    failed=0
}
pass() { echo "PASS $1"; }
fail() { echo "FAIL $1"; failed=1; }
finish() {
    if declare -F checks_cleanup >/dev/null; then checks_cleanup; fi
    echo "$CHECKS: $((SECONDS - start)) s in all"
    [ $failed -eq 0 ] || { echo "$CHECKS: FAILED"; exit 1; }
    echo "$CHECKS: all checks passed"
    exit 0
}

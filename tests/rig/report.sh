# What a guest that did not run its script to the end left behind, for the
# reader of a failed step. Sourced; the caller sets OUT (the run's folder).
show_guest_tail() {
    echo "--- last lines of the guest's console:"
    tail -n 20 "$OUT/console.log" 2>/dev/null
    echo "--- the guest script's output:"
    tail -n 40 "$OUT/output.log" 2>/dev/null
}

# Shows that a run's checks catch faults: doctored copies of the run's own
# output and trace, one fault each, must each be rejected, and the trace in
# QEMU's other line format (with process and time on each line) must still be
# accepted. Sourced; the caller sets OUT (the run's folder, with trace.log) and
# defines `check OUTPUT TRACE`, which succeeds when every check passes.

# doctor SCRATCH OUTPUT WHAT FILE SED-SCRIPT: succeeds when the checks reject the doctored copy.
doctor() {
    local scratch=$1 output=$2 what=$3 file=$4 script=$5
    local out=$OUT/$output trace=$OUT/trace.log
    sed -e "$script" "$OUT/$file" >"$scratch/$file"
    if cmp -s "$scratch/$file" "$OUT/$file"; then
        echo "    $what: the doctoring changed nothing"
        return 1
    fi
    if [ "$file" = "$output" ]; then out=$scratch/$file; else trace=$scratch/$file; fi
    if check "$out" "$trace" >/dev/null; then
        echo "    $what: all checks passed"
        return 1
    fi
}

# check_the_checks OUTPUT: OUTPUT is the name of the run's output file in OUT; the
# doctorings come on standard input, a line each: WHAT|FILE|SED-SCRIPT, FILE being
# OUTPUT or trace.log.
check_the_checks() {
    local output=$1 scratch what file script rejected=0 doctored=0 ok=0
    scratch=$(mktemp -d)
    while IFS='|' read -r what file script; do
        doctored=$((doctored + 1))
        doctor "$scratch" "$output" "$what" "$file" "$script" >>"$scratch/missed" && rejected=$((rejected + 1))
    done
    if [ $rejected -eq $doctored ]; then
        echo "PASS checks reject each of $doctored doctored copies of this run"
    else
        echo "FAIL checks reject only $rejected of $doctored doctored copies of this run:"
        cat "$scratch/missed"
        ok=1
    fi
    sed -e 's/^ide_atapi_cmd_packet/4242@1700000000.123456:ide_atapi_cmd_packet/' "$OUT/trace.log" \
        >"$scratch/trace.log"
    if check "$OUT/$output" "$scratch/trace.log" >"$scratch/result"; then
        echo "PASS checks read the trace with process and time on each line"
    else
        echo "FAIL checks read the trace with process and time on each line:"
        grep FAIL "$scratch/result"
        ok=1
    fi
    rm -rf "$scratch"
    return $ok
}

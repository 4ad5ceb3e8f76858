#!/usr/bin/env bash
# The exit codes the manual pages document are those the programs give: each
# program is run on one case per code, every code a case gives must be in its
# page's EXIT STATUS, and every code the page lists must be given by a case.
# Usage: exit_codes.sh UPDATER KFSTOOL MAN_DIR
set -uo pipefail
updater=${1:?usage: exit_codes.sh UPDATER KFSTOOL MAN_DIR}
kfstool=${2:?}
man=${3:?}
failed=0

# The codes listed under EXIT STATUS: each a ".TP" item whose tag is ".B N".
documented() {
    awk '/^\.SH/ { inside = ($0 ~ /EXIT STATUS/) } inside && prev == ".TP" && /^\.B [0-9]+$/ { print $2 } { prev = $0 }' "$1" |
        sort -n | tr '\n' ' '
}

# check PAGE "CODE COMMAND" ...: runs each command line (the program is $P)
# with no input, and compares its code with CODE and all codes with the page's.
check() {
    local page=$1
    shift
    local given=() line want command code
    for line in "$@"; do
        want=${line%% *}
        command=${line#* }
        (eval "$command") </dev/null >/dev/null 2>&1
        code=$?
        if [ "$code" != "$want" ]; then
            echo "FAIL $(basename "$page"): \"$command\" exits with $code, the case is there for $want"
            failed=1
        fi
        given+=("$code")
    done
    local listed gave
    listed=$(documented "$page")
    gave=$(printf '%s\n' "${given[@]}" | sort -nu | tr '\n' ' ')
    if [ "$listed" != "$gave" ]; then
        echo "FAIL $(basename "$page") lists exit codes [ $listed] where the program gives [ $gave]"
        failed=1
    else
        echo "PASS $(basename "$page"): exit codes [ $listed]"
    fi
}

P=$updater check "$man/updater.1" \
    "0 \$P --help" \
    "1 \$P flash --simulate=other-name --yes" \
    "2 \$P frobnicate" \
    "3 \$P flash --simulate=keeps-old --yes" \
    "4 \$P info >/dev/full"
P=$kfstool check "$man/kfstool.1" \
    "0 \$P info --builtin" \
    "1 \$P info /nonexistent/container.kfs" \
    "2 \$P frobnicate"
exit $failed

# What the rig's checks share: PASS/FAIL lines and the reading of QEMU's
# ide_atapi_cmd_packet trace lines. Loaded with -f before the checks' own file.

function check(ok, what, why) {
    if (ok) {
        print "PASS " what
    } else {
        print "FAIL " what (why == "" ? "" : ": " why)
        failed++
    }
}

function hexbyte(v) { return sprintf("%02X", v) }

function hex_value(s,    v, i) {
    v = 0
    s = tolower(s)
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v
}

# "[PID@TIME:]ide_atapi_cmd_packet IDEState: PTR; limit=0xN packet: xx xx ...": on a
# whole line, sets pkt_state (the drive's state pointer), pkt_limit (its byte-count
# limit) and pkt_bytes (the 12 command bytes, upper case, one blank apart) and
# returns 1; returns 0 for a line it cannot read.
function read_packet(line,    n, bytes, k) {
    if (!match(line, /IDEState: *[0-9a-fA-Fx]+/)) return 0
    pkt_state = substr(line, RSTART, RLENGTH)
    sub(/IDEState: */, "", pkt_state)
    if (!match(line, /limit=(0x)?[0-9a-fA-F]+/)) return 0
    pkt_limit = substr(line, RSTART + 6, RLENGTH - 6)
    pkt_limit = pkt_limit ~ /^0x/ ? hex_value(substr(pkt_limit, 3)) : pkt_limit + 0
    if (!match(line, /packet:/)) return 0
    n = split(substr(line, RSTART + 7), bytes, " ")
    if (n < 12) return 0
    pkt_bytes = ""
    for (k = 1; k <= 12; k++) {
        if (bytes[k] !~ /^[0-9a-fA-F][0-9a-fA-F]$/) return 0
        pkt_bytes = pkt_bytes (k > 1 ? " " : "") toupper(bytes[k])
    }
    return 1
}

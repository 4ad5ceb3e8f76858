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

# The updater's commands among the packets read: INQUIRY, the identity query and
# any page write (whatever its other bytes), as events ev_kind[], ev_drive[],
# ev_limit[] and ev_packet[] numbered from 0 (n_events). Drives are numbered
# as the first INQUIRY reached them: discovery goes in listing order. A drive
# that gets another command first stays unnumbered. Returns 1 for such a command.
function add_updater_event(    what) {
    if (pkt_bytes == "12 00 00 00 32 00 00 00 00 00 00 00") what = "inquiry"
    else if (pkt_bytes == "5A 00 38 4B 4F 10 00 00 00 04 00 00") what = "identity"
    else if (substr(pkt_bytes, 1, 2) == "FD") what = "pagewrite"
    else return 0
    if (!(pkt_state in drive_of) && what == "inquiry") drive_of[pkt_state] = ++drives_seen
    ev_kind[n_events] = what
    ev_drive[n_events] = pkt_state in drive_of ? drive_of[pkt_state] : "(unnumbered)"
    ev_limit[n_events] = pkt_limit
    ev_packet[n_events] = pkt_bytes
    n_events++
    return 1
}

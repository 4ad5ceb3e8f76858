# Checks what atapiprobe printed in the guest against what QEMU's drives
# received. Usage: awk -v page_write=N -f trace.awk -f probe_checks.awk PROBE_OUTPUT QEMU_TRACE
# PROBE_OUTPUT is atapiprobe's standard output, QEMU_TRACE a log with the
# ide_atapi_cmd_packet event. Prints one PASS or FAIL line per check and exits
# non-zero when any check fails.

# The value of key=VALUE in a probe line (VALUE ends at a blank), or "".
function field(line, key,    m) {
    if (match(line, "(^| )" key "=[^ ]*")) {
        m = substr(line, RSTART, RLENGTH)
        sub(/^ /, "", m)
        return substr(m, length(key) + 2)
    }
    return ""
}

function quoted(line, key) {
    if (match(line, " " key "=\"[^\"]*\""))
        return substr(line, RSTART + length(key) + 3, RLENGTH - length(key) - 4)
    return "(none)"
}

# The page the probe writes: byte k is (k * 7 + 1) & 0xFF; the block carries
# its checksum twice (page and whole data), page number 1.
function page_write_block(    k, sum, hi, lo) {
    sum = 0
    for (k = 0; k < 16384; k++) sum += (k * 7 + 1) % 256
    sum %= 65536
    hi = hexbyte(int(sum / 256))
    lo = hexbyte(sum % 256)
    return "FD 07 56 45 4C 44 " hi " " lo " " hi " " lo " 01 08"
}

BEGIN {
    INQUIRY = "12 00 00 00 32 00 00 00 00 00 00 00"
    IDENTITY = "5A 00 38 4B 4F 10 00 00 00 04 00 00"
    PAGE_WRITE = page_write_block()
    # Transfer lengths as the drive sees them: its byte-count limit.
    want_limit[INQUIRY] = 50
    want_limit[IDENTITY] = 20
    want_limit[PAGE_WRITE] = 16384
    kind[INQUIRY] = "inquiry"
    kind[IDENTITY] = "identity"
    kind[PAGE_WRITE] = "pagewrite"
    if (page_write == "") page_write = 0
    devices = 0
    commands = 0
    traced = 0
    matched = 0
    drives_seen = 0
    failed = 0
}

# --- the probe's output
FILENAME == ARGV[1] {
    sub(/\r$/, "")
    if ($1 == "ATAPIPROBE" && $2 ~ /^platform=/) {
        header = $0
        platform = field($0, "platform")
        count = field($0, "devices")
    }
    else if ($0 == "ATAPIPROBE done") done = 1
    else if ($1 == "MESSAGE") messages = messages (messages == "" ? "" : "; ") $0
    else if ($1 == "DEVICE") {
        dev_index[devices] = field($0, "index")
        dev_name[devices] = field($0, "name")
        dev_product[devices] = quoted($0, "product")
        dev_revision[devices] = quoted($0, "revision")
        devices++
    } else if ($1 == "CMD") {
        cmd_index[commands] = field($0, "index")
        cmd_name[commands] = field($0, "name")
        cmd_status[commands] = field($0, "status")
        cmd_key[commands] = field($0, "sensekey")
        cmd_asc[commands] = field($0, "asc")
        cdb = $0
        sub(/.* cdb=/, "", cdb)
        sub(/ +$/, "", cdb)
        cmd_cdb[commands] = toupper(cdb)
        commands++
    }
    next
}

# --- QEMU's trace, a line a command (read_packet)
/ide_atapi_cmd_packet/ {
    if (!read_packet($0)) next
    traced++
    if (!(pkt_bytes in kind)) next
    seen[pkt_bytes]++
    if (!(pkt_state in drive_of)) { drive_of[pkt_state] = drives_seen++ }
    trace_drive[matched] = drive_of[pkt_state]
    trace_kind[matched] = kind[pkt_bytes]
    trace_limit[matched] = pkt_limit
    trace_packet[matched] = pkt_bytes
    matched++
}

# The probe's line for drive i and command name, as its position, or -1.
function find_cmd(i, name,    c, found) {
    found = -1
    for (c = 0; c < commands; c++)
        if (cmd_index[c] == i && cmd_name[c] == name) found = (found == -1 ? c : -2)
    return found
}

function cmd_text(c) {
    return "status=" cmd_status[c] " sensekey=" cmd_key[c] " asc=" cmd_asc[c] " cdb=" cmd_cdb[c]
}

# One command of the probe on drive i: present once, with this block, status and sense.
function check_cmd(i, name, block, status, key, asc,    c) {
    c = find_cmd(i, name)
    if (c == -1) return "no " name " line for drive " i
    if (c == -2) return "more than one " name " line for drive " i
    if (cmd_cdb[c] != block) return "drive " i " sent " cmd_cdb[c] ", not " block
    if (cmd_status[c] != status) return "drive " i ": " cmd_text(c)
    if (key != "" && (tolower(cmd_key[c]) != tolower(key) || tolower(cmd_asc[c]) != tolower(asc)))
        return "drive " i ": " cmd_text(c)
    return ""
}

END {
    check(header != "" && done && messages == "", "probe: ran to its end without a message box",
          header == "" ? "no ATAPIPROBE header" : !done ? "no 'ATAPIPROBE done' line" : messages)

    check(platform == "nt" && count == 2 && devices == 2, "discovery: pass-through path, exactly two drives",
          "header '" header "', " devices " DEVICE lines")
    check(devices == 2 && dev_index[0] == 0 && dev_name[0] == "\\\\.\\D:" && dev_index[1] == 1 &&
          dev_name[1] == "\\\\.\\E:", "discovery: drives \\\\.\\D: and \\\\.\\E: in letter order",
          "got " (devices > 0 ? dev_index[0] "=" dev_name[0] : "none") \
          (devices > 1 ? ", " dev_index[1] "=" dev_name[1] : ""))
    why = ""
    for (i = 0; i < devices; i++)
        if (dev_product[i] != "QEMU    QEMU DVD-ROM    " || dev_revision[i] != "2.5+")
            why = why "drive " i " product \"" dev_product[i] "\" revision \"" dev_revision[i] "\"; "
    check(devices > 0 && why == "", "discovery: Product and Revision of each drive", why)

    why = ""
    for (i = 0; i < 2; i++) {
        r = check_cmd(i, "inquiry", INQUIRY, 1, "", "")
        if (r != "") why = why r "; "
    }
    check(why == "", "inquiry: status 1 on each drive", why)
    why = ""
    for (i = 0; i < 2; i++) {
        r = check_cmd(i, "identity", IDENTITY, 2, "0x5", "0x24")
        if (r != "") why = why r "; "
    }
    check(why == "", "identity query: status 2, sense key 5, ASC 24 on each drive", why)
    why = check_cmd(page_write, "pagewrite", PAGE_WRITE, 2, "0x5", "0x20")
    for (c = 0; c < commands; c++)
        if (cmd_name[c] == "pagewrite" && cmd_index[c] != page_write)
            why = why "; a page write on drive " cmd_index[c]
    check(why == "", "page write: only on drive " page_write ", status 2, sense key 5, ASC 20", why)

    check(traced > 0, "trace: command packets logged in a known format",
          "no ide_atapi_cmd_packet line could be read")
    why = ""
    for (b in kind) { n[b] = 0; for (d = 0; d < 2; d++) per[b, d] = 0 }
    for (m = 0; m < matched; m++) {
        per[trace_packet[m], trace_drive[m]]++
        if (trace_limit[m] != want_limit[trace_packet[m]])
            why = why trace_kind[m] " reached the drive with " trace_limit[m] " bytes, not " \
                  want_limit[trace_packet[m]] "; "
    }
    check(drives_seen == 2 && per[INQUIRY, 0] == 2 && per[INQUIRY, 1] == 2 && seen[INQUIRY] == 4,
          "trace: INQUIRY block twice on each of two drives",
          seen[INQUIRY] + 0 " in all on " drives_seen + 0 " drives")
    check(drives_seen == 2 && per[IDENTITY, 0] == 1 && per[IDENTITY, 1] == 1 && seen[IDENTITY] == 2,
          "trace: identity query block once on each drive",
          seen[IDENTITY] + 0 " in all on " drives_seen + 0 " drives")
    printed = find_cmd(page_write, "pagewrite")
    check(printed >= 0 && seen[cmd_cdb[printed]] == 1 && cmd_cdb[printed] == PAGE_WRITE,
          "trace: page write block as the probe printed it, once",
          printed < 0 ? "the probe printed none" : \
                        cmd_cdb[printed] " seen " seen[cmd_cdb[printed]] + 0 " times")
    check(why == "", "trace: transfer lengths 50, 20 and 16384 bytes", why)

    # Discovery asks D: then E:; then the probe's commands follow in the order it
    # printed them, each on the drive it named.
    expect = "0 inquiry,1 inquiry"
    for (c = 0; c < commands; c++) expect = expect "," cmd_index[c] " " cmd_name[c]
    got = ""
    for (m = 0; m < matched; m++) got = got (m ? "," : "") trace_drive[m] " " trace_kind[m]
    check(got == expect, "trace: commands in the probe's order, each on the drive it named",
          "expected " expect "; the drives got " got)

    exit (failed > 0)
}

# Checks what the terminal updater printed in the guest against what QEMU's
# drives received. Usage:
#   awk -v platforms="linux windows" -v image_sum=HHHH -v page1_sum=HHHH -v pages=N \
#       -f trace.awk -f updater_checks.awk RUNS_LOG QEMU_TRACE
# RUNS_LOG holds the guest's runs, each line tagged "PLATFORM.RUN.STREAM: TEXT"
# (STREAM out or err) or "PLATFORM.RUN.rc: STATUS"; for each platform, in this
# order: list and flash --yes with the demo image, then info, flash --dry-run
# and flash --yes with the fitted image; after every platform's runs, the Linux
# program's flash --device /dev/sr1 --yes with the demo image as a user
# without the rights (linux.user) and as root (linux.device). image_sum, page1_sum and pages are
# the fitted image's, as computed from the image itself. QEMU_TRACE is a log
# with the ide_atapi_cmd_packet event. Prints one PASS or FAIL line per check
# and exits non-zero when any check fails.

# "12 34" for the checksum "1234".
function spaced(sum) { return substr(sum, 1, 2) " " substr(sum, 3, 2) }

function page_write_block(page_sum, whole_sum, page) {
    return "FD 07 56 45 4C 44 " spaced(page_sum) " " spaced(whole_sum) " " hexbyte(page) " 08"
}

# Number of lines of run r's stream s that are exactly `text`.
function count_line(r, s, text,    i, n) {
    n = 0
    for (i = 0; i < nlines[r, s]; i++) if (text_of[r, s, i] == text) n++
    return n
}

# Number of lines of run r's stream s that begin with `prefix`.
function count_prefix(r, s, prefix,    i, n) {
    n = 0
    for (i = 0; i < nlines[r, s]; i++) if (index(text_of[r, s, i], prefix) == 1) n++
    return n
}

# Position of the first line of run r's stream s that begins with `prefix`, or -1.
function find_prefix(r, s, prefix,    i) {
    for (i = 0; i < nlines[r, s]; i++) if (index(text_of[r, s, i], prefix) == 1) return i
    return -1
}

# The rest of the first line of run r's stream s after `prefix`, or "(none)".
function after(r, s, prefix,    i) {
    i = find_prefix(r, s, prefix)
    return i < 0 ? "(none)" : substr(text_of[r, s, i], length(prefix) + 1)
}

function quote(text) { return "\"" text "\"" }

# What run r did, in short: its exit status and first error lines.
function summary(r,    e) {
    e = nlines[r, "err"] ? "; stderr " quote(text_of[r, "err", 0]) : "; stderr empty"
    if (nlines[r, "err"] > 1) e = e " and " nlines[r, "err"] - 1 " more lines"
    return "exit " (r in rc ? rc[r] : "(none)") e
}

BEGIN {
    DRIVE_TEXT = "QEMU    QEMU DVD-ROM      2.5+"
    FIT_NAME = "QEMU    QEMU DVD-ROM    "
    n_platforms = split(platforms, platform, " ")
    for (p = 1; p <= n_platforms; p++) {
        if (platform[p] == "linux") {
            label[p] = "Linux"
            device[p, 1] = "/dev/sr0"
            device[p, 2] = "/dev/sr1"
        } else if (platform[p] == "windows" || platform[p] == "windows32") {
            label[p] = platform[p] == "windows" ? "Windows" : "Windows i686"
            device[p, 1] = "\\\\.\\D:"
            device[p, 2] = "\\\\.\\E:"
        } else {
            print "FAIL unknown platform " platform[p]
            failed++
        }
    }
    traced = 0
    n_events = 0
    drives_seen = 0
}

# --- the runs: "linux.list.out: TEXT"
FILENAME == ARGV[1] {
    sub(/\r$/, "")
    if (!match($0, /^[a-z0-9]+\.[a-z]+\.(out|err|rc): ?/)) next
    tag = substr($0, 1, RLENGTH)
    text = substr($0, RLENGTH + 1)
    sub(/: ?$/, "", tag)
    stream = tag
    sub(/.*\./, "", stream)
    r = substr(tag, 1, length(tag) - length(stream) - 1)
    if (stream == "rc") {
        rc[r] = text
    } else if (!(stream == "err" && r ~ /^windows(32)?\./ && wine_notice(text))) {
        text_of[r, stream, nlines[r, stream]++] = text
    }
    next
}

# Wine in the guest has no FreeType library (64-bit) or no font configuration
# (32-bit) and says so on each program's standard error; those lines are
# wine's, not the program's.
function wine_notice(text) {
    return text == "Fontconfig error: Cannot load default config file: No such file: (null)" ||
           text == "Wine cannot find the FreeType font library.  To enable Wine to" ||
           text == "use TrueType fonts please install a version of FreeType greater than" ||
           text == "or equal to 2.0.5." || text == "http://www.freetype.org"
}

# --- QEMU's trace, a line a command (read_packet)
/ide_atapi_cmd_packet/ {
    if (!read_packet($0)) next
    traced++
    add_updater_event()
}

# --- each platform's runs
function check_platform(p,    P, L, r, why, want, got, i, at, page, sum, blocks, wrong) {
    P = platform[p]
    L = label[p]

    r = P ".list"
    want = "[ 1 ] " DRIVE_TEXT "  " device[p, 1] "|[ 2 ] " DRIVE_TEXT "  " device[p, 2]
    got = ""
    for (i = 0; i < nlines[r, "out"]; i++) got = got (i ? "|" : "") text_of[r, "out", i]
    check(rc[r] == "0" && nlines[r, "err"] == 0 && got == want,
          L " list: both drives, " device[p, 1] " and " device[p, 2] ", with the drives' texts",
          summary(r) "; listed " quote(got))

    r = P ".demo"
    check(rc[r] == "1" && count_line(r, "out", "Error: Drive name does not match!") == 1 &&
          nlines[r, "err"] == 1 && text_of[r, "err", 0] == "updater: Drive name does not match!",
          L " demo image: flash --yes refused with \"Drive name does not match!\", exit 1", summary(r))
    check(count_line(r, "out", "Drive: [ 1 ] " DRIVE_TEXT "  " device[p, 1]) == 1 && find_prefix(r, "out", "Firmware Checksum") < 0 &&
          find_prefix(r, "out", "Page ") < 0 && find_prefix(r, "out", "Answered") < 0,
          L " demo image: refused at drive [ 1 ] before the question and the pages",
          "drive " quote(after(r, "out", "Drive: ")) ", checksum line " quote(after(r, "out", "Firmware Checksum")))

    r = P ".info"
    info_sum[p] = after(r, "out", "Computed checksum: ")
    check(rc[r] == "0" && nlines[r, "err"] == 0 && count_line(r, "out", "Drive name: \"" FIT_NAME "\"") == 1 &&
          count_line(r, "out", "Firmware version: 2.5+") == 1 && count_line(r, "out", "Hardware ID: ") == 1 &&
          info_sum[p] == image_sum && after(r, "out", "Stored checksum: ") == image_sum &&
          after(r, "out", "Pages: ") == pages "",
          L " fitted image: info shows the QEMU drive's name and version, no hardware ID, checksum " image_sum,
          summary(r) "; name " after(r, "out", "Drive name: ") ", version " quote(after(r, "out", "Firmware version: ")) \
          ", hardware ID " quote(after(r, "out", "Hardware ID: ")) ", checksum " info_sum[p] \
          ", stored " after(r, "out", "Stored checksum: ") ", pages " after(r, "out", "Pages: "))

    r = P ".dry"
    check(rc[r] == "0" && nlines[r, "err"] == 0 && find_prefix(r, "out", "Error") < 0 &&
          count_line(r, "out", "Drive: [ 1 ] " DRIVE_TEXT "  " device[p, 1]) == 1 &&
          count_line(r, "out", "Dry run passed: every check was made; no page write was sent.") == 1,
          L " fitted image: flash --dry-run passes every check, exit 0",
          summary(r) "; error line " quote(after(r, "out", "Error")))
    # Each held-back block follows its page's checksum line and carries it, the image's and the page number.
    why = ""
    blocks = count_prefix(r, "out", "Not sent (dry run): ")
    if (blocks != pages) why = blocks " blocks printed, not " pages "; "
    if (after(r, "out", "Firmware Checksum : ") != image_sum)
        why = why "image checksum " after(r, "out", "Firmware Checksum : ") "; "
    page = 0
    wrong = 0
    for (i = 0; i < nlines[r, "out"]; i++) {
        if (index(text_of[r, "out", i], "Not sent (dry run): ") != 1) continue
        page++
        sum = ""
        if (i > 0 && text_of[r, "out", i - 1] ~ ("^Page " page " Checksum : [0-9A-F][0-9A-F][0-9A-F][0-9A-F]$"))
            sum = substr(text_of[r, "out", i - 1], length(text_of[r, "out", i - 1]) - 3)
        if (page == 1) {
            dry_block[p] = substr(text_of[r, "out", i], 21)
            sub(/, 16384 bytes$/, "", dry_block[p])
        }
        if ((sum == "" || text_of[r, "out", i] != "Not sent (dry run): " page_write_block(sum, image_sum, page) \
                ", 16384 bytes") && ++wrong <= 3)
            why = why "block " page " " quote(text_of[r, "out", i]) " after " quote(i > 0 ? text_of[r, "out", i - 1] : "") "; "
    }
    if (after(r, "out", "Page 1 Checksum : ") != page1_sum) why = why "page 1 checksum " after(r, "out", "Page 1 Checksum : ")
    check(why == "", L " fitted image: --dry-run prints the blocks of all " pages " pages with their checksums", why)

    r = P ".yes"
    yes_page_sum[p] = after(r, "out", "Page 1 Checksum : ")
    at = find_prefix(r, "out", "Error: Writing page ")
    check(rc[r] == "1" && after(r, "out", "Firmware Checksum : ") == image_sum && yes_page_sum[p] == page1_sum &&
          count_line(r, "out", "Answered OK (--yes).") == 1 && find_prefix(r, "out", "Page 2 ") < 0,
          L " fitted image: flash --yes answers the question, writes page 1 only, exit 1",
          summary(r) "; image checksum " after(r, "out", "Firmware Checksum : ") ", page 1 checksum " yes_page_sum[p] \
          ", page 2 line " quote(after(r, "out", "Page 2 ")))
    check(at >= 0 && text_of[r, "out", at] == "Error: Writing page 1 of " pages " failed." &&
          index(text_of[r, "out", at + 1], "Status 2, sense key 05h, ASC 20h,") == 1 && nlines[r, "err"] == 1 &&
          index(text_of[r, "err", 0], "updater: Writing page 1 of " pages " failed. Status 2, sense key 05h, ASC 20h,") == 1,
          L " fitted image: the drive rejects page 1, sense key 5 (ILLEGAL REQUEST)",
          "error " quote(at >= 0 ? text_of[r, "out", at] " " text_of[r, "out", at + 1] : "(none)") "; " summary(r))
}

# --- what reached the drives, platform by platform: the runs come one after
# another and each flash run past the pre-checks sends one identity query, so
# the identity queries split the trace into the runs' stretches.

# Number of events of kind k in [from, to).
function count_kind(k, from, to,    m, n) {
    n = 0
    for (m = from; m < to; m++) if (ev_kind[m] == k) n++
    return n
}

# First event of kind k in [from, to), or -1.
function first_kind(k, from, to,    m) {
    for (m = from; m < to; m++) if (ev_kind[m] == k) return m
    return -1
}

function check_trace(    p, L, why, m, n_id, id_at, j, at, inq, expect, base, begin, pw, n_yes, untold, n_runs, got) {
    check(traced > 0, "trace: command packets logged in a known format",
          "no ide_atapi_cmd_packet line could be read")
    why = ""
    n_id = 0
    for (m = 0; m < n_events; m++) {
        if (ev_kind[m] == "identity") id_at[++n_id] = m
        want = ev_kind[m] == "inquiry" ? 50 : ev_kind[m] == "identity" ? 20 : 16384
        if (ev_limit[m] != want) why = why ev_kind[m] " with " ev_limit[m] " bytes, not " want "; "
    }
    id_at[0] = -1
    id_at[n_id + 1] = n_events
    check(why == "", "trace: INQUIRY with 50, identity query with 20, page write with 16384 bytes", why)
    check(drives_seen == 2, "trace: INQUIRY reached exactly two drives", drives_seen + 0 " drives")
    n_runs = 3 * n_platforms + 1
    check(n_id == n_runs, "trace: one identity query per flash run, " n_runs " in all", n_id " in all")
    untold = n_id == n_runs ? "" : "the runs cannot be told apart with " n_id " identity queries"

    begin = 0
    for (p = 1; p <= n_platforms; p++) {
        L = label[p]
        base = 3 * (p - 1)
        if (untold != "") {
            check(0, L " runs in the trace", untold)
            continue
        }
        # From the previous platform's last command up to the demo run's identity
        # query: the list run and the demo run's discovery asked each drive.
        delete inq
        for (m = begin; m < id_at[base + 1]; m++) if (ev_kind[m] == "inquiry") inq[ev_drive[m]]++
        check(inq[1] >= 2 && inq[2] >= 2,
              L " list and demo flash: INQUIRY reached both drives before the demo run's identity query",
              "INQUIRY " inq[1] + 0 " times on drive 1, " inq[2] + 0 " on drive 2")

        why = ""
        for (j = base + 1; j <= base + 3; j++) {
            at = id_at[j]
            if (ev_drive[at] != 1) why = why "identity query " j " on drive " ev_drive[at] "; "
            if (at + 1 >= n_events || ev_kind[at + 1] != "inquiry" || ev_drive[at + 1] != 1)
                why = why "identity query " j " not followed by an INQUIRY on drive 1; "
            delete inq
            for (m = (j == base + 1 ? begin : id_at[j - 1] + 1); m < at; m++)
                if (ev_kind[m] == "inquiry") inq[ev_drive[m]]++
            if (inq[1] < 1 || inq[2] < 1) why = why "no INQUIRY on both drives before identity query " j "; "
        }
        check(why == "", L " flash runs: each asked both drives' INQUIRY, then drive [ 1 ] its identity and INQUIRY",
              why)

        pw = count_kind("pagewrite", begin, id_at[base + 2])
        check(pw == 0, L " demo image: no page write reached the drive (trace)", pw " page writes")
        pw = count_kind("pagewrite", id_at[base + 2], id_at[base + 3])
        check(pw == 0, L " fitted image, --dry-run: no page write reached the drive (trace)", pw " page writes")
        # The --yes run's stretch reaches to the next platform's demo identity query.
        n_yes = count_kind("pagewrite", id_at[base + 3], id_at[base + 4])
        m = first_kind("pagewrite", id_at[base + 3], id_at[base + 4])
        expect = page_write_block(yes_page_sum[p], info_sum[p], 1)
        check(n_yes == 1 && ev_drive[m] == 1 && ev_packet[m] == expect && ev_packet[m] == dry_block[p],
              L " fitted image, --yes: one page write, after its identity query, on drive [ 1 ], as printed (trace)",
              n_yes " page writes" (m >= 0 ? ", the first " ev_packet[m] " on drive " ev_drive[m] : "") \
              "; printed " expect ", dry run " dry_block[p])
        begin = m >= 0 ? m + 1 : id_at[base + 3] + 1
    }
    pw = count_kind("pagewrite", 0, n_events)
    check(pw == n_platforms, "trace: " n_platforms " page write" (n_platforms > 1 ? "s" : "") " in all", pw " in all")

    # After the last page write: the user's run sent nothing; the --device run asked
    # the second drive only, its INQUIRY, identity query and INQUIRY; the run on the held
    # drive only its INQUIRY when listing it, and nothing more.
    if (untold != "") {
        check(0, "Linux --device runs in the trace", untold)
        return
    }
    why = ""
    got = ""
    for (m = begin; m < n_events; m++) {
        if (ev_drive[m] != 2) why = why ev_kind[m] " on drive " ev_drive[m] "; "
        got = got (m > begin ? ", " : "") ev_kind[m]
    }
    check(why == "" && got == "inquiry, identity, inquiry, inquiry",
          "Linux --device /dev/sr1: the user's run sent nothing; the root run asked drive [ 2 ] only: INQUIRY, identity query, INQUIRY; the held drive's run its INQUIRY only (trace)",
          why "commands after the last page write: " got)
}

function check_device(    r) {
    r = "linux.user"
    check(rc[r] == "1" && nlines[r, "out"] == 0 && nlines[r, "err"] == 1 &&
          index(text_of[r, "err", 0], "updater: /dev/sr1 cannot be opened: Permission denied") == 1 &&
          index(text_of[r, "err", 0], "need root or CAP_SYS_RAWIO. Run updater as root") > 0 &&
          index(text_of[r, "err", 0], "Nothing has been sent to the drive.") > 0,
          "Linux flash --device /dev/sr1 as a user: refused with the reason and the rights needed, exit 1",
          summary(r) "; stdout " nlines[r, "out"] + 0 " lines")
    r = "linux.device"
    check(rc[r] == "1" && count_line(r, "out", "Drive: [ 2 ] " DRIVE_TEXT "  /dev/sr1") == 1 &&
          count_line(r, "out", "Error: Drive name does not match!") == 1,
          "Linux flash --device /dev/sr1: \"Drive: [ 2 ] ... /dev/sr1\", list's number and the node, then refused by name",
          summary(r) "; drive " quote(after(r, "out", "Drive: ")))
}

END {
    for (p = 1; p <= n_platforms; p++) check_platform(p)
    check_device()
    # The last run, on /dev/sr1 while another program holds it with O_EXCL: refused before
    # anything is sent (the trace's identity queries and page writes are the other runs').
    r = "linux.held"
    check(rc[r] == "1" && nlines[r, "err"] == 1 && text_of[r, "err", 0] == "updater: Another program is using the " \
          "drive. Close it, then start again. Nothing has been sent to the drive." &&
          find_prefix(r, "out", "Firmware Checksum") < 0,
          "Linux: a drive another program holds with O_EXCL is refused before anything is sent, exit 1", summary(r))
    check_trace()
    exit (failed > 0)
}

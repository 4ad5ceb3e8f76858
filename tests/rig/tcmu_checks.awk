# Checks the runs of qemu_tcmu.sh against what tcmu_drive received. Usage:
#   awk -v platforms="linux windows" -v pages=N -v full_sha=H -v hang_sha=H -v reject_page=N \
#       -v windows_reject_page=N -v hang_page=N -v sense=K:AA:QQ -v flashed=REV \
#       -f trace.awk -f tcmu_checks.awk RUNS_LOG
# RUNS_LOG: "node: /dev/srN", "teardown: ok", and lines "NAME.STREAM: TEXT" where
# NAME is a run or a drive (both named after the case) and STREAM is out, err
# or rc of a program, drive (a line of the drive's record), image (the sha256
# of the pages the drive took), sent_at (pages taken when a signal was sent).
# full_sha is the demo image's, hang_sha the image's without page hang_page.
# Prints one PASS or FAIL line per check; exits non-zero when any fails.

function quote(text) { return "\"" text "\"" }

function lines(n, s) { return (n SUBSEP s) in count ? count[n, s] : 0 }

# Number of lines of stream s of n that are exactly `text`.
function count_line(n, s, text,    i, k) {
    k = 0
    for (i = 0; i < lines(n, s); i++) if (line[n, s, i] == text) k++
    return k
}

# Position of the first line of stream s of n that begins with `prefix`, or -1.
function find_prefix(n, s, prefix,    i) {
    for (i = 0; i < lines(n, s); i++) if (index(line[n, s, i], prefix) == 1) return i
    return -1
}

# Position of the first line of stream s of n that matches `re`, or -1.
function find_match(n, s, re,    i) {
    for (i = 0; i < lines(n, s); i++) if (line[n, s, i] ~ re) return i
    return -1
}

function first(n, s) { return lines(n, s) ? quote(line[n, s, 0]) : "(none)" }

function summary(n) {
    return "exit " ((n SUBSEP "rc") in count ? line[n, "rc", 0] : "(none)") "; stderr " first(n, "err")
}

# Reads drive d's record into pw_* (its page writes, in order: the status, the
# page number the drive gave it or 0, and whether it was held) and sets
# d_pages (PAGES), d_faults (MISMATCH lines about a page's fields), d_ended.
function read_drive(d,    i, t, n) {
    n = 0
    d_pages = -1
    d_faults = ""
    d_ended = 0
    d_aborted_after = -1
    d_abort_at = -1
    for (i = 0; i < lines(d, "drive"); i++) {
        t = line[d, "drive", i]
        if (t ~ /^(CMD|HELD) id=[0-9]+ cdb=FD /) {
            pw_held[n] = t ~ /^HELD/
            pw_status[n] = t ~ / status=[0-9]+/ ? substr(t, match(t, / status=[0-9]+/) + 8, RLENGTH - 8) + 0 : -1
            pw_page[n] = match(t, / page=[0-9]+$/) ? substr(t, RSTART + 6) + 0 : 0
            n++
        } else if (t ~ /^ABORTED /) {
            d_abort_at = n
            if (match(t, /after=[0-9]+/)) d_aborted_after = substr(t, RSTART + 6, RLENGTH - 6) + 0
        } else if (t ~ /^PAGES [0-9]+$/) {
            d_pages = substr(t, 7) + 0
        } else if (t ~ /^MISMATCH page /) {
            d_faults = d_faults substr(t, 10) "; "
        } else if (t ~ /^END$/) {
            d_ended = 1
        }
    }
    d_writes = n
}

# A signal at the question, the drive taken from the sr driver: it ends the program (exit code),
# no page is sent, and the drive is given back with its block node.
function check_at_question(r, name, code,    i) {
    read_drive(r)
    i = find_match(r, "drive", "^CMD id=[0-9]+ cdb=5A 00 38 ")
    check(line[r, "rc", 0] == code "" && i >= 0 && d_writes == 0 && line[r, "node_during", 0] == "2" &&
          line[r, "node", 0] == node,
          "Linux: " name " at the question, while the drive's block node is away, ends the program (exit " code \
          "), no page sent, and the drive is given back as " node,
          summary(r) "; identity query " (i >= 0 ? "sent" : "not sent") "; " d_writes " page writes; sr nodes " \
          "during " line[r, "node_during", 0] "; node after " quote(line[r, "node", 0]))
}

# Why the page writes from `from` (from 0) on are not accepted pages numbered `number`, `number`+1, ...
function pages_in_order(from, number,    i, why) {
    why = ""
    for (i = from; i < d_writes; i++)
        if (pw_held[i] || pw_status[i] != 0 || pw_page[i] != number + i - from)
            why = why "page write " i + 1 " status " pw_status[i] " page " pw_page[i] (pw_held[i] ? " held" : "") "; "
    return why
}

# A drive that took every page once, in order, and assembled the image.
function check_whole(d, L,    why) {
    read_drive(d)
    why = pages_in_order(0, 1)
    if (d_writes != pages) why = why d_writes " page writes; "
    if (d_pages != pages) why = why "PAGES " d_pages "; "
    if (line[d, "image", 0] != full_sha) why = why "image " first(d, "image") "; "
    if (d_faults != "") why = why "fields: " d_faults
    if (!d_ended) why = why "no END; "
    check(why == "", L ": the drive took all " pages " pages once, in order, the image byte-equal to the demo image", why)
}

# The INQUIRY commands drive d got after its last page write (a listing afterwards sends one more).
function inquiries_after_pages(d,    i, t, n) {
    n = 0
    for (i = 0; i < lines(d, "drive"); i++) {
        t = line[d, "drive", i]
        if (t ~ /^(CMD|HELD) id=[0-9]+ cdb=FD /) n = 0
        else if (t ~ /^CMD id=[0-9]+ cdb=12 /) n++
    }
    return n
}

# A flash refused at page `at` with the sense `sense`: the drive got `at` page writes, the last rejected.
function check_rejected(r, at, L, name,    i, why, key, k) {
    split(sense, key, ":")
    i = find_prefix(r, "out", "Error: Writing page ")
    check(line[r, "rc", 0] == "1" && i >= 0 && line[r, "out", i] == "Error: Writing page " at " of " pages " failed." &&
          index(line[r, "out", i + 1], "Status 2, sense key 0" key[1] "h, ASC " key[2] "h, ASCQ " key[3] "h.") == 1,
          L ": page " at " rejected: the program names it and the drive's sense, exit 1",
          summary(r) "; error " (i >= 0 ? quote(line[r, "out", i] " " line[r, "out", i + 1]) : "(none)"))
    read_drive(name)
    # The last write is the rejected one; only the ones before it are pages.
    why = ""
    for (k = 0; k < d_writes - 1; k++) if (pw_status[k] != 0 || pw_page[k] != k + 1) why = why "page write " k + 1 " not taken; "
    if (d_writes != at) why = why d_writes " page writes, not " at "; "
    else if (pw_status[at - 1] != 2) why = why "page write " at " answered " pw_status[at - 1] "; "
    if (d_pages != at - 1) why = why "PAGES " d_pages "; "
    if (d_faults != "") why = why "fields: " d_faults
    check(why == "", L ": the drive received " at " page writes and took " at - 1 " pages; nothing after the rejected one", why)
}

BEGIN { n_platforms = split(platforms, platform, " ") }

{
    sub(/\r$/, "")
    if ($0 ~ /^node: /) { node = substr($0, 7); next }
    if ($0 == "teardown: ok") { torn_down = 1; next }
    if (!match($0, /^[a-z]+\.[a-z_]+: ?/)) next
    tag = substr($0, 1, RLENGTH)
    text = substr($0, RLENGTH + 1)
    sub(/: ?$/, "", tag)
    dot = index(tag, ".")
    n = substr(tag, 1, dot - 1)
    s = substr(tag, dot + 1)
    line[n, s, lines(n, s)] = text
    count[n, s] = lines(n, s) + 1
}

END {
    drive_text = "VELD    DVD-RW KX4800   "
    check(node ~ /^\/dev\/sr[0-9]+$/, "set-up: the loopback target's drive has an sr node", "node " quote(node))
    check(torn_down, "teardown: the target and the backstore were removed", "")

    # --- the complete flash, and what the drive reports afterwards
    old_re = old
    gsub(/[.]/, "[.]", old_re)
    check(find_match("list", "out", "^\\[ [0-9]+ \\] " drive_text "  " old_re "  " node "$") >= 0 && line["list", "rc", 0] == "0",
          "Linux: list shows the drive with its texts at " node, summary("list") "; listed " first("list", "out"))
    check(line["full", "rc", 0] == "0" && count_line("full", "out", "Yes!: Flash Succeed!") == 1 && !lines("full", "err"),
          "Linux: a complete flash ends \"Flash Succeed!\", exit 0", summary("full"))
    check_whole("full", "Linux complete flash")
    i = find_prefix("full", "out", "Drive firmware version now: ")
    check(i >= 0 && line["full", "out", i] == "Drive firmware version now: " flashed &&
          line["full", "out", i + 1] == "The drive runs the new firmware." &&
          line["full", "out", i + 2] == "Yes!: Flash Succeed!" && inquiries_after_pages("full") >= 1,
          "Linux: after the last page the drive is asked again and reports " flashed ", the image's version",
          "read back " quote(i >= 0 ? line["full", "out", i] " " line["full", "out", i + 1] : "(none)") "; " \
          inquiries_after_pages("full") " INQUIRY after the pages")
    check(find_match("after", "out", "^\\[ [0-9]+ \\] " drive_text "  " flashed "  " node "$") >= 0,
          "Linux: list afterwards reads back the version the drive reports after the write, " flashed,
          "listed " first("after", "out"))

    check_rejected("reject", reject_page, "Linux", "reject")

    # --- a drive that keeps its old version after every page was written
    i = find_prefix("kept", "out", "Drive firmware version now: ")
    check(line["kept", "rc", 0] == "3" && i >= 0 && line["kept", "out", i] == "Drive firmware version now: " old &&
          line["kept", "out", i + 1] == "The drive still reports another firmware version." &&
          index(line["kept", "out", i + 2], "The drive may take the new firmware only after the computer is turned off and on") == 1 &&
          count_line("kept", "out", "Yes!: Flash Succeed!") == 0 &&
          find_prefix("kept", "out", "Caution: Every page was written, but the drive did not report") >= 0 &&
          index(line["kept", "err", 0], "updater: every page was written, but the drive did not report the firmware version " flashed ";") == 1 &&
          inquiries_after_pages("kept") >= 1,
          "Linux: a drive that still reports " old " after the last page: the advice to turn the computer off and on, exit 3",
          summary("kept") "; read back " quote(i >= 0 ? line["kept", "out", i] : "(none)") "; " \
          inquiries_after_pages("kept") " INQUIRY after the pages")
    check_whole("kept", "Linux flash of a drive that keeps its version")

    # --- a page that never answers: the transport's time-out decides
    read_drive("hang")
    why = ""
    if (d_writes < hang_page || !pw_held[hang_page - 1]) why = "page write " hang_page " not held; "
    if (d_abort_at != hang_page) why = why "abort seen after " d_abort_at " page writes; "
    if (d_aborted_after < 59000) why = why "aborted after " d_aborted_after " ms; "
    check(why == "", "Linux: the unanswered page " hang_page " is aborted by the initiator's 60 s time-out (" \
          d_aborted_after " ms)", why)
    why = ""
    if (find_prefix("hang", "out", "Page " hang_page " counted as written") >= 0) {
        # Counted as written: the flash goes on with the next page and never sends this one again.
        for (k = 0; k < hang_page - 1; k++) if (pw_status[k] != 0 || pw_page[k] != k + 1) why = why "page write " k + 1 "; "
        why = why pages_in_order(hang_page, hang_page)
        if (d_writes != pages) why = why d_writes " page writes; "
        if (line["hang", "image", 0] != hang_sha) why = why "image " first("hang", "image") "; "
        decision = "counts the page as written and goes on (" summary("hang") ")"
    } else {
        i = find_prefix("hang", "out", "Error: Writing page ")
        if (i < 0 || line["hang", "out", i] != "Error: Writing page " hang_page " of " pages " failed." || line["hang", "rc", 0] != "1")
            why = why "neither counted as written nor failed: " summary("hang") "; "
        if (d_writes != hang_page) why = why d_writes " page writes; "
        decision = "fails page " hang_page ", nothing sent after it"
    }
    check(why == "", "Linux: the time-out decision, logged: " decision ", the page never sent again", why)

    # --- signals during a slowed flash
    split("sigint SIGINT 2 sigterm SIGTERM 15", sig, " ")
    for (k = 1; k <= 6; k += 3) {
        r = sig[k]
        i = find_match(r, "err", "(signal " sig[k + 2] "|" sig[k + 1] ")")
        at = line[r, "sent_at", 0] + 0
        check(line[r, "rc", 0] == "1" && i >= 0 && at >= 5 && at < pages,
              "Linux: " sig[k + 1] " after " at " of " pages " pages: the write goes on, the signal is named, exit 1",
              summary(r) "; signal line " (i >= 0 ? quote(line[r, "err", i]) : "(none)"))
        check_whole(r, "Linux " sig[k + 1])
    }

    # --- a drive whose name is not the image's
    read_drive("other")
    i = find_match("other", "drive", "^CMD id=[0-9]+ cdb=5A 00 38 4B 4F 10 ")
    check(line["other", "rc", 0] == "1" && count_line("other", "out", "Error: Drive name does not match!") == 1 &&
          d_writes == 0 && i >= 0,
          "Linux: a drive of another name is asked its identity, refused, and sent no page",
          summary("other") "; " d_writes " page writes, identity query " (i >= 0 ? "sent" : "not sent"))

    # --- a flash that holds the drive, with media polling on, a second flash beside it and a
    # program that opens the node plainly and asks for INQUIRY data every 50 ms
    check(line["second", "rc", 0] == "1" && index(line["second", "err", 0], "updater: " node " is not there now, and " \
          "/dev/sg") == 1 && index(line["second", "err", 0], " is in use by another program: an updater that writes") > 0,
          "Linux: a second flash while the first holds the drive is refused: its block node is away, the generic node " \
          "in use, exit 1",
          summary("second"))
    check(line["held", "rc", 0] == "0" && count_line("held", "out", "Yes!: Flash Succeed!") == 1,
          "Linux: the flash that holds the drive ends \"Flash Succeed!\", exit 0", summary("held"))
    check_whole("held", "Linux flash beside a second one")
    # From the identity query to the INQUIRY after the last page: the identity query, the page
    # writes and the updater's own INQUIRY (50 bytes; the other program's are 96), nothing else;
    # the kernel's polls every 100 ms only before and after.
    first_id = -1; last_page = -1; read_back = -1; ids = 0; outside = 0; others = ""; theirs = 0
    for (i = 0; i < lines("held", "drive"); i++) {
        t = line["held", "drive", i]
        if (t ~ /^CMD id=[0-9]+ cdb=5A 00 38 /) { ids++; if (first_id < 0) first_id = i }
        if (t ~ /^(CMD|HELD) id=[0-9]+ cdb=FD /) { last_page = i; read_back = -1 }
        if (t ~ /^CMD id=[0-9]+ cdb=12 00 00 00 32 / && last_page >= 0 && read_back < 0) read_back = i
    }
    for (i = 0; i < lines("held", "drive"); i++) {
        t = line["held", "drive", i]
        if (t !~ /^(CMD|HELD) /) continue
        if (first_id < 0 || i < first_id || read_back < 0 || i > read_back) {
            if (t ~ / cdb=(4A|00) /) outside++
            if (t ~ / cdb=12 00 00 00 60 / && i > read_back) theirs++
        } else if (t !~ / cdb=(5A 00 38|FD|12 00 00 00 32) /) {
            others = others substr(t, index(t, "cdb="), 14) "; "
        }
    }
    check(ids == 1 && first_id >= 0 && read_back > first_id && others == "" && outside > 0,
          "Linux: from the identity query to the read-back the drive gets the updater's commands alone; the kernel's " \
          "media polls (" outside ") come only while the drive is free",
          ids " identity queries; inside: " (others == "" ? "nothing else" : others) "; " outside " polls outside")
    rounds = line["intruder", "rounds", 0] + 0
    check(rounds >= 20 && theirs > 0,
          "Linux: another program that opened the node plainly every 50 ms during the flash (" rounds \
          " rounds) reached the drive only once it was given back (" theirs " INQUIRY)",
          rounds " rounds; " theirs " of its INQUIRY after the read-back")

    # --- a flash while another program keeps the node open from before
    read_drive("keeper")
    pid = line["keeper", "pid", 0]
    i = find_match("keeper", "drive", "^CMD id=[0-9]+ cdb=5A ")
    check(line["keeper", "rc", 0] == "1" && line["keeper", "err", 0] == "updater: The drive is in use by another program " \
          "(inqloop, process " pid "). Close that program, then start again. Nothing has been sent to the drive." &&
          i < 0 && d_writes == 0 && line["keeper", "node", 0] == node,
          "Linux: a program that keeps the node open is named and the flash refused with nothing sent; the drive " \
          "keeps its node, " line["keeper", "node", 0],
          summary("keeper") "; identity query " (i >= 0 ? "sent" : "not sent") ", " d_writes " page writes")

    # --- a signal at the question, the drive taken from the sr driver
    check_at_question("interrupted", "SIGTERM", 143)
    check_at_question("sigusr", "SIGUSR1", 138)

    # --- a flash killed with SIGKILL, and the retry beside a flash by the generic node
    check(line["killed", "rc", 0] == "137" && line["killed", "node_left", 0] == "2",
          "Linux: a flash killed with SIGKILL mid-write leaves the drive without its block node",
          summary("killed") "; sr nodes after " line["killed", "node_left", 0])
    check(line["retry", "rc", 0] == "0" && count_line("retry", "out", "Yes!: Flash Succeed!") == 1 &&
          find_match("retry", "err", "^updater: " line["beside", "node", 0] " \\(SCSI device [0-9:]+\\) had been left " \
                     "without its block node .*; it is given back to the sr driver as " node "$") >= 0 &&
          line["retry", "node", 0] == node,
          "Linux: the retry gives the drive back to the sr driver as " node ", saying so, flashes it (\"Flash " \
          "Succeed!\", exit 0), and the block node is there afterwards",
          summary("retry") "; node after " quote(line["retry", "node", 0]))
    check_whole("retry", "Linux retry after SIGKILL")
    ids = 0
    for (i = 0; i < lines("retry", "drive"); i++) if (line["retry", "drive", i] ~ /^CMD id=[0-9]+ cdb=5A 00 38 /) ids++
    check(line["beside", "rc", 0] == "1" && line["beside", "err", 0] == "updater: " line["beside", "node", 0] \
          " cannot be opened: Device or resource busy (another program, an updater perhaps, holds it). Nothing has " \
          "been sent to the drive." && ids == 1,
          "Linux: a flash by the generic node beside the retry is refused with nothing sent",
          summary("beside") "; " ids " identity queries")

    if (platforms !~ /windows/) exit failed > 0
    check(find_match("winlist", "out", "^\\[ [0-9]+ \\] " drive_text "  1\\.02  .*F:$") >= 0,
          "Windows: list shows the drive as F:", summary("winlist") "; listed " first("winlist", "out"))
    check(line["winfull", "rc", 0] == "0" && count_line("winfull", "out", "Yes!: Flash Succeed!") == 1,
          "Windows: a complete flash through wine's pass-through ends \"Flash Succeed!\", exit 0", summary("winfull"))
    check_whole("winfull", "Windows complete flash")
    check_rejected("winreject", windows_reject_page, "Windows", "winreject")
    exit failed > 0
}

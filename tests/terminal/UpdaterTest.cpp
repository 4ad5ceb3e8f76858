// The updater program under each simulated drive: exit codes, the exact lines
// on both streams, and what reached the drive.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "FakeRoot.h"
#include "Capture.h"
#include "FakeSgSystem.h"
#include "MainTexts.h"
#include "SignalHold.h"
#include "TempDir.h"
#include "Updater.h"
#include "VirtualDrive.h"

namespace {

// What a run ended with.
struct Outcome {
    int exitCode = -1;
    std::string out, err;
    std::string reached;                           // the opcodes that reached the drive, as a Row gives them
    std::vector<VirtualDrive::Received> commands;  // what reached the simulated drive
    int pagesAccepted = 0;
    std::vector<std::string> mismatches;  // page writes whose fields do not fit their data
};

// The program itself, with standard input and output not terminals.
Outcome Program(const std::string& args, const std::string& program = UPDATER_PATH) {
    char errPath[] = "/tmp/updater-test-XXXXXX";
    const int fd = mkstemp(errPath);
    close(fd);
    const std::string command = program + " " + args + " </dev/null 2>" + errPath;
    std::FILE* p = popen(command.c_str(), "r");
    Outcome r;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::FILE* e = std::fopen(errPath, "r");
    while ((n = std::fread(buf, 1, sizeof buf, e)) > 0) r.err.append(buf, n);
    std::fclose(e);
    std::remove(errPath);
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Starting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(text))
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

// Every way a user can end a run, in process: the arguments, what is typed, where the output goes and
// what the drive does decide the exit code, the line that says what happened and what reached the drive.
enum class Output { Kept, Failing, FailingOnce, ClosedPipe };

struct Setup {
    const char* typed = nullptr;  // typed on the terminal, then the input closes; none: no terminal
    int drives = -1;              // that many real drives on a scripted system instead of a simulated one
    int deniedDrive = -1;         // the real drive of this number (from 0) does not open: EACCES
    uint8_t failOpcode = 0;       // the first such command of a real drive fails in the kernel ...
    int failErrno = 0;            // ... with this errno
    int signal = 0;               // comes while the first page is written
    Output out = Output::Kept, err = Output::Kept;
    const char* battery = nullptr;  // the battery's charge in percent, discharging
    std::string alsoSaid;         // a text that must be on one of the streams ($DIR: the scripted system's folder)
    std::string wholeOut;         // all of standard output, when given
};

struct Row {
    std::vector<std::string> args;
    int exitCode;
    // The first line of standard error for a usage error; else standard error's last line, or standard
    // output's when nothing reached standard error; only its beginning where it ends with "...".
    std::string said;
    // The opcodes that reached the drive in order, a run of one as "FDx64"; empty: not one.
    std::string reached;
    Setup setup = {};
};

// A stream that keeps what is written, or fails its first or every write, and may raise a signal at the
// first page.
struct Stream {
    std::string text;
    int failing = 0;  // how many writes fail
    int signal = 0;
    std::FILE* file = nullptr;

    static ssize_t Write(void* cookie, const char* data, size_t size) {
        Stream& s = *static_cast<Stream*>(cookie);
        if (s.failing > 0) {
            --s.failing;
            errno = ENOSPC;
            return -1;
        }
        s.text.append(data, size);
        if (s.signal != 0 && s.text.find("Page 1 Checksum") != std::string::npos) {
            std::raise(std::exchange(s.signal, 0));
        }
        return static_cast<ssize_t>(size);
    }
    void Open(Output kind) {
        failing = kind == Output::Failing ? INT_MAX : kind == Output::FailingOnce ? 1 : 0;
        int p[2];
        if (kind == Output::ClosedPipe && (pipe(p) != 0 || close(p[0]) != 0)) std::abort();
        file = kind == Output::ClosedPipe ? fdopen(p[1], "w")
                                          : fopencookie(this, "w", {nullptr, &Stream::Write, nullptr, nullptr});
    }
};

std::string Reached(const std::vector<uint8_t>& opcodes) {
    std::string text;
    for (size_t i = 0; i < opcodes.size();) {
        size_t n = 1;
        while (i + n < opcodes.size() && opcodes[i + n] == opcodes[i]) ++n;
        char run[16];
        std::snprintf(run, sizeof run, n == 1 ? "%s%02X" : "%s%02Xx%zu", text.empty() ? "" : " ", opcodes[i], n);
        text += run;
        i += n;
    }
    return text;
}

// A drive of the image's model at host 0, target n, with block node srN and generic node sgN.
void AddRealDrive(const TempDir& dir, FakeSgSystem& sg, int n, bool denied) {
    const std::string hctl = "0:0:" + std::to_string(n) + ":0", at = "sys/devices/host0/" + hctl;
    dir.Write(at + "/type", "5\n");
    std::filesystem::create_directories(dir.Path() / at / "block" / ("sr" + std::to_string(n)));
    std::filesystem::create_directories(dir.Path() / at / "scsi_generic" / ("sg" + std::to_string(n)));
    std::filesystem::create_directories(dir.Path() / at / "scsi_device" / hctl);
    std::filesystem::create_symlink("../..", dir.Path() / at / "scsi_device" / hctl / "device");
    std::filesystem::create_directories(dir.Path() / "sys/class/scsi_device");
    std::filesystem::create_symlink("../../devices/host0/" + hctl + "/scsi_device/" + hctl,
                                    dir.Path() / "sys/class/scsi_device" / hctl);
    dir.Write("dev/sr" + std::to_string(n), "");
    if (denied) sg.openErrors[dir / ("dev/sr" + std::to_string(n))] = EACCES;
    sg.nodes[dir / ("dev/sr" + std::to_string(n))] = sg.nodes[dir / ("dev/sg" + std::to_string(n))] = 10 + n;
}

Outcome RunRow(const Row& row) {
    TempDir dir;
    dir.Write("status", "CapEff:\t000001ffffffffff\n");
    dir.Write("mounts", "");
    FakeSgSystem sg;
    int failed = 0;
    sg.answer = [&](int, const sg_io_hdr_t& h) {
        SgAnswer a;
        if (h.cmdp[0] == row.setup.failOpcode && failed++ == 0) a.error = row.setup.failErrno;
        if (h.cmdp[0] == 0x12) {
            a.data.assign(50, 0);
            a.data[0] = 0x05;
            std::memcpy(&a.data[8], "VELD    DVD-RW KX4800   1.02", 28);
            a.data[38] = 'K', a.data[39] = '4';
        } else if (h.cmdp[0] == 0x5A) {
            a.data.assign(20, 0);
            std::memcpy(a.data.data(), "KOLA", 4);
            std::memcpy(&a.data[16], "HWK4", 4);
        }
        return a;
    };
    for (int n = 0; n < row.setup.drives; ++n) AddRealDrive(dir, sg, n, n == row.setup.deniedDrive);
    if (row.setup.battery) {
        dir.Write("sys/class/power_supply/BAT0/type", "Battery\n");
        dir.Write("sys/class/power_supply/BAT0/status", "Discharging\n");
        dir.Write("sys/class/power_supply/BAT0/capacity", std::string(row.setup.battery) + "\n");
    }
    Stream out, err;
    out.signal = row.setup.signal;
    out.Open(row.setup.out);
    err.Open(row.setup.err);
    // Typed answers come through a pipe that closes after them: its end is the input's.
    int p[2];
    if (pipe(p) != 0) std::abort();
    const std::string typed = row.setup.typed ? row.setup.typed : "";
    if (write(p[1], typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) std::abort();
    close(p[1]);
    std::FILE* in = fdopen(p[0], "r");
    UpdaterStreams s = StreamsUnder(dir, sg, out.file, err.file, in);
    s.ask = row.setup.typed ? out.file : nullptr;  // a terminal that is standard output too
    s.sleep = [](uint32_t) {};
    Outcome r;
    s.simulatedDriveDone = [&r](const VirtualDrive& drive) {
        r.commands = drive.Commands();
        r.pagesAccepted = drive.PagesWritten();
        r.mismatches = drive.Mismatches();
    };
    signal(SIGPIPE, SIG_IGN);  // as the program has it
    r.exitCode = RunUpdater(row.args, s);
    std::fclose(out.file);
    std::fclose(err.file);
    std::fclose(in);
    std::vector<uint8_t> opcodes;
    for (const auto& c : r.commands) opcodes.push_back(c.cdb[0]);
    for (const auto& c : sg.sent) opcodes.push_back(c.cdb[0]);
    r.out = out.text;
    r.err = err.text;
    for (std::string* text : {&r.out, &r.err})
        for (size_t at; (at = text->find(dir.Path().string())) != std::string::npos;)
            text->replace(at, dir.Path().string().size(), "$DIR");
    r.reached = Reached(opcodes);
    return r;
}

std::string Said(const Outcome& r) {
    const std::vector<std::string> err = Lines(r.err), out = Lines(r.out);
    if (r.exitCode == kExitUsage && !err.empty()) return err.front();
    return !err.empty() ? err.back() : !out.empty() ? out.back() : "";
}

const char kDrive[] = "Drive: [ 1 ] VELD    DVD-RW KX4800     1.02  virtual drive 1";

const std::string kCases = "; the cases are match (default), other-name, other-hwid, newer, fail-page:N (N from 1 to "
                           "the image's pages), keeps-old, late-answer:S (S from 1 to 120), no-answer";
const std::string kFlashed = "12 5A 12 FDx64 12";  // a whole flash of the simulated drive

std::vector<Row> Rows() {
    const std::string cancel = std::string("updater: Answered Cancel. ") + text::kFlashNow;
    const std::string noTerminal = "updater: No terminal to ask on and no --yes: answered ";
    const std::string index = "updater: --index needs a drive number from 1 to 20";
    const std::string pageTwo = "updater: Writing page 2 of 64 failed. Status 2, sense key 03h, ASC 0Ch, ASCQ 00h. "
                                "The firmware on the drive is incomplete. Do not power off or restart the computer: "
                                "run the update again now.";
    const std::string unconfirmed = "updater: every page was written, but the drive did not report the firmware "
                                    "version 1.02; turn the computer off and on, then check the drive's version";
    const std::string lost = "updater: part of the output to standard output could not be written";
    const std::string held = std::string("updater: ") + HeldSignalName(SIGUSR1);
    const std::string byTheSignal = " The exit status is 1 because of the signal.";
    const std::string newerAsked = std::string("Drive: [ 1 ] VELD    DVD-RW KX4800     1.10  virtual drive 1\n") +
                                   "Caution: " + text::kDriveVersionNewer + "\n";
    const std::string succeeded = "Yes!: Flash Succeed!", dryRunPassed =
                                  "Dry run passed: every check was made; no page write was sent.";
    const std::string checked = "12 5A 12";  // listed, then the identity query and INQUIRY
    // After the last page: the version read back, then the box.
    const std::string runsNew = "Progress: 64 of 64 pages\nDrive firmware version now: 1.02\n"
                                "The drive runs the new firmware.\nYes!: Flash Succeed!\n";
    const std::string notRunning =
        "The drive may take the new firmware only after the computer is turned off and on again; check the drive "
        "firmware version then.\nCaution: Every page was written, but the drive did not report the new firmware "
        "version. Turn the computer off and on, then check the drive firmware version.\nNot confirmed: " +
        unconfirmed.substr(9) + " (updater list shows it).\n";
    const std::string silent = "Progress: 64 of 64 pages\nThe drive did not answer within 60 seconds.\n" + notRunning;
    const std::string mismatch = "Drive: [ 1 ] VELD    DVD-RW KX5200     1.02  virtual drive 1\nError: ";
    return {
        // Usage errors: what was wrong and what is accepted, an argument shown so that no byte of it can end
        // the line or forge one; nothing reaches a drive.
        {{}, 2, "updater: no command given", ""},
        {{"erase"}, 2, "updater: unknown command erase", ""},
        {{""}, 2, "updater: unknown command \"\"", ""},
        {{"fl\033[2Jash"}, 2, "updater: unknown command \"fl\\x1B[2Jash\"", ""},
        {{"fl\"a\\s\x7Fh~"}, 2, "updater: unknown command \"fl\\x22a\\x5Cs\\x7Fh~\"", ""},
        {{"list", "--yes"}, 2, "updater: unknown option --yes", ""},
        {{"info", "--dry-run"}, 2, "updater: unknown option --dry-run", ""},
        {{"flash", "--bogus", "--yes=no"}, 2, "updater: unknown option --bogus", ""},  // the first fault
        {{"flash", "--yes=no"}, 2, "updater: --yes takes no value", ""},
        {{"list", "--", "--json"}, 2, "updater: unexpected argument --json: list takes options only", ""},
        {{"flash", "--index"}, 2, index, ""},
        {{"flash", "--index", "x", "--simulate"}, 2, index, ""},
        {{"flash", "--index", "0"}, 2, index, ""},
        {{"flash", "--index", "21"}, 2, index, ""},
        {{"flash", "--simulate", "--index", "21"}, 2, index, ""},
        {{"flash", "--index="}, 2, index, ""},
        {{"flash", "--simulate", "--index=4294967297"}, 2, index, ""},  // would wrap to drive 1
        {{"flash", "--device", "--dry-run"}, 2, "updater: --device needs a device path", ""},
        {{"flash", "--device="}, 2, "updater: --device needs a device path", ""},
        {{"flash", "--device", "D", "--index", "1"}, 2, "updater: --device and --index do not go together", ""},
        {{"flash", "--index", "2", "--device", "/dev/sr0"}, 2, "updater: --device and --index do not go together", ""},
        {{"flash", "--device", "/dev/sr0", "--simulate"}, 2,
         "updater: --device names a real drive; it does not go with --simulate", ""},
        {{"flash", "--simulate="}, 2, "updater: --simulate= needs a case" + kCases, ""},
        {{"flash", "--simulate=nothing"}, 2, "updater: unknown simulated drive \"nothing\"" + kCases, ""},
        {{"list", "--simulate=odd"}, 2, "updater: unknown simulated drive \"odd\"" + kCases, ""},
        {{"list", "--simulate=fail-page:0"}, 2,
         "updater: fail-page:N needs a page N from 1 to 64, the image's pages, not 0", ""},
        {{"flash", "--simulate=fail-page:65"}, 2,
         "updater: fail-page:N needs a page N from 1 to 64, the image's pages, not 65", ""},
        {{"list", "--simulate=fail-page:9999999"}, 2,
         "updater: fail-page:N needs a page N from 1 to 64, the image's pages, not 9999999", ""},
        {{"list", "--simulate=late-answer:0"}, 2, "updater: late-answer:S needs S from 1 to 120 seconds, not 0", ""},
        {{"list", "--simulate=late-answer:121"}, 2, "updater: late-answer:S needs S from 1 to 120 seconds, not 121",
         ""},
        // The usage and the version, whatever else is given; a later option replaces an earlier one.
        {{"-h"}, 0, "      report the image's version, 4 done but part of the output could not be written", ""},
        {{"flash", "--bogus", "--help"}, 0,
         "      report the image's version, 4 done but part of the output could not be written", ""},
        {{"list", "--version"}, 0, "firmware: drive name \"VELD    DVD-RW KX4800   \", firmware version \"1.02\"", ""},
        {{"list", "--simulate=bogus", "--simulate"}, 0, "[ 1 ] VELD    DVD-RW KX4800     1.02  virtual drive 1", "12"},
        {{"list", "--simulate", "--"}, 0, "[ 1 ] VELD    DVD-RW KX4800     1.02  virtual drive 1", "12"},
        // The image's facts; nothing reaches a drive, a simulated one included.
        {{"info"}, 0, "Pages: 64", ""},
        {{"info", "--simulate=newer"}, 0, "Pages: 64", ""},
        // Each end of a flash, each simulated case at the ends of its range.
        {{"flash", "--simulate", "--yes"}, 0, succeeded, kFlashed, {.alsoSaid = runsNew}},
        {{"flash", "--simulate", "--dry-run"}, 0, dryRunPassed, checked},
        // A drive name or hardware ID that differs is refused, whatever the options.
        {{"flash", "--simulate=other-name", "--yes"}, 1, "updater: Drive name does not match!", checked,
         {.wholeOut = mismatch + "Drive name does not match!\n"}},
        {{"flash", "--simulate=other-name", "--dry-run"}, 1, "updater: Drive name does not match!", checked,
         {.wholeOut = mismatch + "Drive name does not match!\n"}},
        {{"flash", "--simulate=other-hwid", "--yes"}, 1, "updater: Hardware ID does not match!", checked,
         {.wholeOut = std::string(kDrive) + "\nError: Hardware ID does not match!\n"}},
        {{"flash", "--simulate=other-hwid", "--dry-run"}, 1, "updater: Hardware ID does not match!", checked,
         {.wholeOut = std::string(kDrive) + "\nError: Hardware ID does not match!\n"}},
        {{"flash", "--simulate=fail-page:2", "--yes"}, 1, pageTwo, "12 5A 12 FDx2",
         {.alsoSaid = "Progress: 1 of 64 pages\nPage 2 Checksum : F380\nError: Writing page 2 of 64 failed.\n"}},
        {{"flash", "--simulate=fail-page:1", "--yes"}, 1, "updater: Writing page 1 " + pageTwo.substr(24),
         "12 5A 12 FD"},
        {{"flash", "--simulate=keeps-old", "--yes"}, 3, unconfirmed, kFlashed,
         {.alsoSaid = "Progress: 64 of 64 pages\nDrive firmware version now: 1.01\nThe drive still reports another "
                      "firmware version.\n" + notRunning}},
        {{"flash", "--simulate=no-answer", "--yes"}, 3, unconfirmed, "12 5A 12 FDx64 12x61", {.alsoSaid = silent}},
        {{"flash", "--simulate=late-answer:1", "--yes"}, 0, succeeded, "12 5A 12 FDx64 12x2"},
        {{"flash", "--simulate=late-answer:60", "--yes"}, 0, succeeded, "12 5A 12 FDx64 12x61", {.alsoSaid = runsNew}},
        {{"flash", "--simulate=late-answer:61", "--yes"}, 3, unconfirmed, "12 5A 12 FDx64 12x61", {.alsoSaid = silent}},
        {{"flash", "--simulate", "--yes", "--index", "2"}, 1,
         "updater: there is no drive 2; 1 drive was found (updater list shows the drives). Nothing has been sent to "
         "the drive.",
         "12"},
        // Each answer to each question; the dry run answers the last confirmation itself, never the other one.
        {{"flash", "--simulate"}, 1, noTerminal + "Cancel. " + text::kFlashNow, checked,
         {.alsoSaid = "\nNo terminal to ask on and no --yes: answered Cancel.\nupdater: "}},
        {{"flash", "--simulate=newer"}, 1, noTerminal + "No. " + text::kDriveVersionNewer, checked,
         {.wholeOut = newerAsked + "No terminal to ask on and no --yes: answered No.\n"}},
        {{"flash", "--simulate=newer", "--dry-run"}, 1, noTerminal + "No. " + text::kDriveVersionNewer, checked,
         {.wholeOut = newerAsked + "No terminal to ask on and no --yes: answered No.\n"}},
        {{"flash", "--simulate=newer", "--yes"}, 0, succeeded, kFlashed, {.alsoSaid = "\nAnswered Yes (--yes).\n"}},
        {{"flash", "--simulate=newer", "--dry-run"}, 0, dryRunPassed, checked, {.typed = "y\n"}},
        {{"flash", "--simulate=newer"}, 0, succeeded, kFlashed, {.typed = "Y\nOK\n", .alsoSaid = "Yes/No? "}},
        {{"flash", "--simulate=newer"}, 1, std::string("updater: Answered No. ") + text::kDriveVersionNewer, checked,
         {.typed = "no\n"}},
        {{"flash", "--simulate=newer"}, 1, cancel, checked, {.typed = "yes\ncancel\n"}},
        {{"flash", "--simulate"}, 0, succeeded, kFlashed, {.typed = "yes\r\n"}},
        {{"flash", "--simulate"}, 1, cancel, checked, {.typed = "\nyes\n"}},
        {{"flash", "--simulate"}, 1, cancel, checked, {.typed = ""}},
        {{"flash", "--simulate"}, 1, cancel, checked, {.typed = "ok"}},  // cut short by the end of the input
        {{"flash", "--simulate"}, 0, succeeded, kFlashed,
         {.typed = "maybe\nOK\n",
          .alsoSaid = "OK/Cancel? Answer yes, y or ok to go on; no, n, cancel or an empty line to stop.\nOK/Cancel? "}},
        {{"flash", "--simulate"}, 1,
         std::string("updater: No answer in 10 lines: answered Cancel. ") + text::kFlashNow, checked,
         {.typed = "maybe\nmaybe\nmaybe\nmaybe\nmaybe\nmaybe\nmaybe\nmaybe\nmaybe\nmaybe\nOK\n"}},
        // A signal during the page writes: they go on to the end or to the failed page, and the exit status is 1.
        {{"flash", "--simulate", "--yes"}, 1,
         held + " came while the pages were written; the writes went on to the end: every page was written and "
                  "the firmware on the drive is complete." + byTheSignal,
         kFlashed, {.signal = SIGUSR1}},
        {{"flash", "--simulate=keeps-old", "--yes"}, 1,
         held + " came while the pages were written; the writes went on to the end: every page was written and "
                  "the firmware on the drive is complete." + byTheSignal,
         kFlashed, {.signal = SIGUSR1}},
        {{"flash", "--simulate=fail-page:2", "--yes"}, 1, held + " came while the pages were written." + byTheSignal,
         "12 5A 12 FDx2", {.signal = SIGUSR1}},
        {{"flash", "--simulate", "--dry-run"}, 1,
         held + " came during the dry run; nothing was cut short and no page write was sent." + byTheSignal, checked,
         {.signal = SIGUSR1}},
        // Output that cannot be written changes only a success, into 4.
        {{"flash", "--simulate", "--yes"}, 4, lost + "; the command itself was carried out to its end", kFlashed,
         {.out = Output::Failing}},
        {{"flash", "--simulate", "--yes"}, 4, lost + "; the command itself was carried out to its end", kFlashed,
         {.out = Output::ClosedPipe}},
        {{"info", "--json"}, 4, lost + "; the command itself was carried out to its end", "", {.out = Output::Failing}},
        {{"flash", "--simulate=fail-page:2", "--yes"}, 1, lost, "12 5A 12 FDx2", {.out = Output::Failing}},
        {{"flash", "--simulate=keeps-old", "--yes"}, 3, lost, kFlashed, {.out = Output::Failing}},
        {{"flash", "--simulate", "--yes"}, 4, lost + "; the command itself was carried out to its end", kFlashed,
         {.out = Output::FailingOnce}},
        {{"flash", "--simulate", "--index", "2"}, 1,
         "Error: there is no drive 2; 1 drive was found (updater list shows the drives). Nothing has been sent to the "
         "drive.",
         "12", {.err = Output::Failing}},
        {{"flash", "--simulate", "--index", "2"}, 1, "", "12", {.out = Output::Failing, .err = Output::Failing}},
        {{"flash", "--simulate", "--index", "2"}, 1,
         "updater: part of the output to standard error could not be written", "12", {.err = Output::FailingOnce}},
        {{"list", "--simulate"}, 0, "[ 1 ] VELD    DVD-RW KX4800     1.02  virtual drive 1", "12",
         {.err = Output::Failing}},
        // The battery.
        {{"flash", "--simulate", "--yes"}, 1,
         std::string("updater: ") + text::kBatteryLowBefore + "10 % charge left: too little to write the drive "
             "firmware safely. Connect the charger, then start again. No page has been written to the drive.",
         checked,
         {.battery = "10"}},
        {{"flash", "--simulate", "--yes"}, 0, succeeded, kFlashed,
         {.battery = "50", .alsoSaid = text::kOnBattery}},
        // Real drives on a scripted system: none, fewer than the number asked for, and an SG_IO error.
        {{"list"}, 0, "No optical drive found.", "", {.drives = 0}},
        {{"flash", "--yes"}, 1,
         "updater: no drive to write to was found (updater list shows the drives). Nothing has been sent to the drive.",
         "", {.drives = 0}},
        {{"flash", "--device", "/dev/sr9\nupdater: flash done"}, 1,
         "updater: \"/dev/sr9\\x0Aupdater: flash done\" is not an optical drive the kernel lists", "", {.drives = 0}},
        {{"flash", "--yes", "--index", "3"}, 1,
         "updater: there is no drive 3; 2 drives were found (updater list shows the drives). Nothing has been sent to "
         "the drive.",
         "12x2", {.drives = 2}},
        {{"flash", "--yes"}, 0, succeeded, "12 5A 12 FDx64 12",
         {.drives = 1,
          .alsoSaid = "Drive: [ 1 ] VELD    DVD-RW KX4800     1.02  $DIR/dev/sr0\nFirmware Checksum : 77D8\n"
                      "Caution!: Flash Now! Please do not power off!\nAnswered OK (--yes).\nPage 1 Checksum : "}},
        {{"list", "--json"}, 0, "{\"formatVersion\":1,...", "12",
         {.drives = 2, .deniedDrive = 0,
          .alsoSaid = "[{\"number\":null,\"node\":\"$DIR/dev/sr0\",\"product\":null,\"revision\":null,"
                      "\"opened\":false,\"reason\":\"Permission denied: vendor commands through SG_IO need root or "
                      "CAP_SYS_RAWIO\"},{\"number\":1,"}},
        {{"list", "--json"}, 0, "{\"formatVersion\":1,...", "12x20",
         {.drives = 21,
          .alsoSaid = ",{\"number\":null,\"node\":\"$DIR/dev/sr20\",\"product\":null,\"revision\":null,"
                      "\"opened\":false,\"reason\":\"the device table is full\"}]}\n"}},
        {{"flash", "--yes"}, 1,
         "updater: Writing page 1 of 64 failed. Status 0: Input/output error. The firmware on the drive is incomplete. "
         "Do not power off or restart the computer: run the update again now.",
         "12 5A 12 FD",
         {.drives = 1, .failOpcode = 0xFD, .failErrno = EIO, .alsoSaid = "updater: Input/output error\n"}},
        {{"list", "--json"}, 0, "updater: Input/output error", "12",
         {.drives = 1, .failOpcode = 0x12, .failErrno = EIO}},
    };
}

TEST(UpdaterRuns, EachEndHasItsExitCodeItsLastLineAndWhatReachedTheDrive) {
    for (const Row& row : Rows()) {
        std::string shown;
        for (const std::string& a : row.args) shown += " " + a;
        SCOPED_TRACE(shown + (row.setup.typed ? " typed " + std::string(row.setup.typed) : ""));
        const Outcome r = RunRow(row);
        const std::string told = r.out + r.err, tail = told.substr(told.size() - std::min<size_t>(told.size(), 600));
        EXPECT_EQ(r.exitCode, row.exitCode) << tail;
        const bool begins = row.said.size() > 3 && row.said.substr(row.said.size() - 3) == "...";
        const size_t compared = begins ? row.said.size() - 3 : std::string::npos;
        EXPECT_EQ(Said(r).substr(0, compared), row.said.substr(0, compared)) << tail;
        EXPECT_EQ(r.reached, row.reached);
        if (!row.setup.alsoSaid.empty()) {
            EXPECT_NE(told.find(row.setup.alsoSaid), std::string::npos) << tail;
        }
        if (!row.setup.wholeOut.empty()) {
            EXPECT_EQ(r.out, row.setup.wholeOut);
        }
        // A refusal, a failure or an unconfirmed version is one line on standard error.
        const bool kept = row.setup.out == Output::Kept && row.setup.err == Output::Kept;
        if ((r.exitCode == kExitRefused || r.exitCode == kExitUnconfirmed) && kept && row.setup.failErrno == 0 &&
            row.setup.signal == 0) {
            EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        }
        // Each page write of a whole image fits its data; each one the drive took is told, each one sent was
        // announced (on a standard output that is not the terminal too).
        if (r.pagesAccepted == 64) {
            EXPECT_EQ(r.mismatches, std::vector<std::string>{});
        }
        const bool dry = std::find(row.args.begin(), row.args.end(), "--dry-run") != row.args.end();
        if (row.setup.drives < 0 && row.setup.out == Output::Kept && !row.setup.typed && !dry) {
            int pages = 0;
            for (const auto& c : r.commands) pages += c.cdb[0] == 0xFD;
            EXPECT_EQ(static_cast<int>(Starting(r.out, "Progress: ").size()), r.pagesAccepted);
            EXPECT_EQ(static_cast<int>(Starting(r.out, "Page ").size()), pages);
        }
        // A usage error prints the usage and nothing else; a success is silent on standard error.
        if (r.exitCode == kExitUsage) {
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("\nusage: updater list"), std::string::npos);
        }
        if (r.exitCode == kExitDone && row.setup.err == Output::Kept && row.setup.failErrno == 0) {
            EXPECT_EQ(r.err, "");
        }
        // A JSON document is all of standard output, on one line, whatever reaches standard error.
        if (std::find(row.args.begin(), row.args.end(), "--json") != row.args.end() && r.exitCode == kExitDone) {
            EXPECT_EQ(Lines(r.out).size(), 1u);
            EXPECT_EQ(r.out.rfind("{\"formatVersion\":1,", 0), 0u);
        }
    }
}

TEST(UpdaterFlash, DryRunMakesEveryCheckAndSendsNoPageWrite) {
    const Outcome real = RunRow({{"flash", "--simulate", "--yes"}, 0, "", ""});
    const Outcome dry = RunRow({{"flash", "--simulate", "--dry-run"}, 0, "", ""});
    // Each block printed is the block the real run sent, in the same order.
    const std::vector<std::string> held = Starting(dry.out, "Not sent (dry run): ");
    std::vector<std::string> sent;
    for (const auto& c : real.commands) {
        if (c.cdb[0] != 0xFD) continue;
        std::string hex;
        for (int i = 0; i < 12; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", c.cdb[i]);
            hex += b;
        }
        sent.push_back("Not sent (dry run): " + hex + ", " + std::to_string(c.length) + " bytes");
    }
    EXPECT_EQ(held, sent);
}

TEST(UpdaterProgram, ListInfoAndExitCodes) {
    const Outcome list = Program("list --simulate");
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_EQ(list.out, "[ 1 ] VELD    DVD-RW KX4800     1.02  virtual drive 1\n");

    const Outcome info = Program("info");
    EXPECT_EQ(info.exitCode, 0);
    const std::vector<std::string> lines = Lines(info.out);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Caption: VELD    DVD-RW KX4800   1.02 K4 Updater");
    EXPECT_EQ(lines[1].substr(17), lines[2].substr(19));  // stored checksum == computed one
    EXPECT_EQ(lines[3], "Drive name: \"VELD    DVD-RW KX4800   \"");
    EXPECT_EQ(lines[4], "Firmware version: 1.02");
    EXPECT_EQ(lines[5], "Hardware ID: K4");
    EXPECT_EQ(lines[6].rfind("Pages: ", 0), 0u);

    // The JSON form: kfstool's document of the same container (which ends with the pages), then the caption
    // and the pages.
    const Outcome json = Program("info --json");
    EXPECT_EQ(json.exitCode, 0);
    const std::string container = Program("info --json --builtin", KFSTOOL_PATH).out;
    const std::string pages = ",\"pages\":64}\n";
    ASSERT_GT(container.size(), pages.size());
    EXPECT_EQ(container.substr(container.size() - pages.size()), pages);
    EXPECT_EQ(json.out, container.substr(0, container.size() - pages.size()) +
                            ",\"caption\":\"VELD    DVD-RW KX4800   1.02 K4 Updater\"" + pages);

    // The process ends with what the run returned (each end is in the table above), the usage on standard output.
    for (const auto& [args, code] : std::vector<std::pair<const char*, int>>{{"flash --simulate --yes", 0},
                                                                           {"flash --simulate=fail-page:1 --yes", 1},
                                                                           {"flash --index 0", 2},
                                                                           {"flash --simulate=keeps-old --yes", 3}}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(Program(args).exitCode, code);
    }
    const Outcome help = Program("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: updater list", 0), 0u);
    EXPECT_EQ(help.err, "");
    const Outcome version = Program("flash --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "updater " + Lines(Program("--version", KFSTOOL_PATH).out)[0].substr(8) +
                               "\nfirmware: drive name \"VELD    DVD-RW KX4800   \", firmware version \"1.02\"\n");
}

TEST(UpdaterProgram, StaticBuildRunsTheSame) {
    if (std::string(UPDATER_STATIC_PATH).empty()) GTEST_SKIP() << "no static build in this configuration";
    for (const char* args :
         {"list --simulate", "flash --simulate=other-hwid --yes", "flash --simulate --dry-run"}) {
        SCOPED_TRACE(args);
        const Outcome dynamic = Program(args), linkedStatically = Program(args, UPDATER_STATIC_PATH);
        EXPECT_EQ(linkedStatically.exitCode, dynamic.exitCode);
        EXPECT_EQ(linkedStatically.out, dynamic.out);
        EXPECT_EQ(linkedStatically.err, dynamic.err);
    }
}

}  // namespace

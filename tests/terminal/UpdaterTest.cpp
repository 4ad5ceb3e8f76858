// The updater program under each simulated drive: exit codes, the exact lines
// on both streams, and what reached the drive.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Capture.h"
#include "Updater.h"
#include "VirtualDrive.h"

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out, err;
    std::vector<VirtualDrive::Received> commands;  // what reached the simulated drive
    int pagesWritten = 0;
    std::vector<std::string> mismatches;

    int Count(uint8_t opcode) const {
        int n = 0;
        for (const auto& c : commands) n += c.cdb[0] == opcode;
        return n;
    }
};

// In process, no terminal: the drive can be looked at afterwards.
Outcome Updater(const std::vector<std::string>& args) {
    CapturedFile out, err, in;
    UpdaterStreams s;
    s.out = out.get();
    s.err = err.get();
    s.in = in.get();
    // A machine that does not tell its power: the flash goes on, whatever this one runs on.
    s.sysfsRoot = "/nonexistent";
    Outcome r;
    s.simulatedDriveDone = [&r](const VirtualDrive& drive) {
        r.commands = drive.Commands();
        r.pagesWritten = drive.PagesWritten();
        r.mismatches = drive.Mismatches();
    };
    r.exitCode = RunUpdater(args, s);
    r.out = out.Text();
    r.err = err.Text();
    return r;
}

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

const char kDrive[] = "Drive: [ 1 ] VELD    DVD-RW KX4800     1.02  virtual drive 1";

TEST(UpdaterFlash, MatchingDriveGetsEveryPage) {
    const Outcome r = Updater({"flash", "--simulate", "--yes"});
    EXPECT_EQ(r.exitCode, kExitDone);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], kDrive);
    EXPECT_EQ(lines[1].rfind("Firmware Checksum : ", 0), 0u);
    EXPECT_EQ(lines[2], "Caution!: Flash Now! Please do not power off!");
    EXPECT_EQ(lines[3], "Answered OK (--yes).");
    EXPECT_EQ(lines.back(), "Yes!: Flash Succeed!");
    // The identity query and INQUIRY come first; the image's pages arrive whole and in order.
    ASSERT_GE(r.commands.size(), 3u);
    EXPECT_EQ(r.commands[1].cdb[0], 0x5A);
    EXPECT_EQ(r.commands[2].cdb[0], 0x12);
    EXPECT_GT(r.pagesWritten, 0);
    EXPECT_EQ(r.Count(0xFD), r.pagesWritten);
    EXPECT_EQ(static_cast<int>(Starting(r.out, "Page ").size()), r.pagesWritten);
    EXPECT_EQ(static_cast<int>(Starting(r.out, "Progress: ").size()), r.pagesWritten);
    EXPECT_TRUE(r.mismatches.empty());
}

TEST(UpdaterFlash, TheVersionReadBackAfterTheLastPageDecidesBetweenExitZeroAndThree) {
    const std::string advice =
        "The drive may take the new firmware only after the computer is turned off and on again; "
        "check the drive firmware version then.";
    const std::string unconfirmed =
        "updater: every page was written, but the drive did not report the firmware version 1.02; "
        "turn the computer off and on, then check the drive's version\n";
    struct Case {
        const char* simulate;
        int exitCode;
        int inquiriesAfterPages;
        std::vector<std::string> lines;  // between the last page's progress and the last box
    } cases[] = {
        {"match", 0, 1, {"Drive firmware version now: 1.02", "The drive runs the new firmware."}},
        {"late-answer:7", 0, 8, {"Drive firmware version now: 1.02", "The drive runs the new firmware."}},
        {"keeps-old", 3, 1,
         {"Drive firmware version now: 1.01", "The drive still reports another firmware version.", advice}},
        {"no-answer", 3, 61, {"The drive did not answer within 60 seconds.", advice}},
        {"late-answer:61", 3, 61, {"The drive did not answer within 60 seconds.", advice}},
    };
    // Exit code 3: the box only says that every page went out; the last line says that this is not all.
    const std::string notConfirmed = "Not confirmed: " + unconfirmed.substr(9, unconfirmed.size() - 10) +
                                     " (updater list shows it).";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simulate);
        const Outcome r = Updater({"flash", std::string("--simulate=") + c.simulate, "--yes"});
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.err, c.exitCode == 0 ? "" : unconfirmed);
        const std::vector<std::string> lines = Lines(r.out);
        const size_t last = c.exitCode == 0 ? 0 : 1;  // the line after the box
        ASSERT_GE(lines.size(), c.lines.size() + 2 + last);
        EXPECT_EQ(lines[lines.size() - c.lines.size() - 2 - last], "Progress: 64 of 64 pages");
        EXPECT_EQ(std::vector<std::string>(lines.end() - c.lines.size() - 1 - last, lines.end() - 1 - last), c.lines);
        // "Flash Succeed!" only for the drive that then runs the image's firmware.
        EXPECT_EQ(lines[lines.size() - 1 - last],
                  c.exitCode == 0 ? "Yes!: Flash Succeed!"
                                  : std::string("Caution: Every page was written, but the drive did not report the new "
                                                "firmware version. Turn the computer off and on, then check the drive "
                                                "firmware version."));
        EXPECT_EQ(lines.back(), c.exitCode == 0 ? "Yes!: Flash Succeed!" : notConfirmed);
        EXPECT_EQ(r.pagesWritten, 64);
        int after = 0;
        for (auto it = r.commands.rbegin(); it != r.commands.rend() && it->cdb[0] == 0x12; ++it) ++after;
        EXPECT_EQ(after, c.inquiriesAfterPages);
    }
}

TEST(UpdaterFlash, MismatchesAreRefusedWhateverTheOptions) {
    struct Case {
        const char* simulate;
        const char* drive;
        const char* text;
    } cases[] = {
        {"other-name", "Drive: [ 1 ] VELD    DVD-RW KX5200     1.02  virtual drive 1", "Drive name does not match!"},
        {"other-hwid", kDrive, "Hardware ID does not match!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simulate);
        for (const char* extra : {"--yes", "--dry-run"}) {
            const Outcome r = Updater({"flash", std::string("--simulate=") + c.simulate, extra});
            EXPECT_EQ(r.exitCode, kExitRefused);
            EXPECT_EQ(r.out, std::string(c.drive) + "\nError: " + c.text + "\n");
            EXPECT_EQ(r.err, std::string("updater: ") + c.text + "\n");
            EXPECT_EQ(r.Count(0xFD), 0);
        }
    }
}

// The dry run answers the last confirmation itself, never this question.
TEST(UpdaterFlash, NewerDriveVersionNeedsAnAnswer) {
    for (const char* dry : {"--simulate=newer", "--dry-run"}) {
        const Outcome refused = Updater({"flash", "--simulate=newer", dry});
        EXPECT_EQ(refused.exitCode, kExitRefused) << dry;
        EXPECT_EQ(refused.out,
                  "Drive: [ 1 ] VELD    DVD-RW KX4800     1.10  virtual drive 1\n"
                  "Caution: Drive firmware version is new, are you sure to continue?\n"
                  "No terminal to ask on and no --yes: answered No.\n");
        EXPECT_EQ(refused.err,
                  "updater: No terminal to ask on and no --yes: answered No. "
                  "Drive firmware version is new, are you sure to continue?\n");
        EXPECT_EQ(refused.Count(0xFD), 0);
    }

    const Outcome yes = Updater({"flash", "--simulate=newer", "--yes"});
    EXPECT_EQ(yes.exitCode, kExitDone);
    EXPECT_NE(yes.out.find("Answered Yes (--yes)."), std::string::npos);
    EXPECT_GT(yes.pagesWritten, 0);
}

TEST(UpdaterFlash, LastConfirmationWithoutTerminalIsCancel) {
    const Outcome r = Updater({"flash", "--simulate"});
    EXPECT_EQ(r.exitCode, kExitRefused);
    EXPECT_EQ(Lines(r.out).back(), "No terminal to ask on and no --yes: answered Cancel.");
    EXPECT_EQ(r.err,
              "updater: No terminal to ask on and no --yes: answered Cancel. "
              "Flash Now! Please do not power off!\n");
    EXPECT_EQ(r.Count(0xFD), 0);
}

TEST(UpdaterFlash, FailedPageStopsTheWrite) {
    const Outcome r = Updater({"flash", "--simulate=fail-page:2", "--yes"});
    EXPECT_EQ(r.exitCode, kExitRefused);
    EXPECT_EQ(r.Count(0xFD), 2);
    EXPECT_EQ(r.pagesWritten, 1);
    ASSERT_EQ(Lines(r.err).size(), 1u);
    EXPECT_EQ(r.err.rfind("updater: Writing page 2 of ", 0), 0u);
    EXPECT_NE(r.err.find(" failed. Status 2, sense key 03h, ASC 0Ch, ASCQ 00h. The firmware on the drive is "
                         "incomplete."),
              std::string::npos);
    EXPECT_EQ(Starting(r.out, "Progress: ").size(), 1u);  // page 1 only
    EXPECT_EQ(Starting(r.out, "Error: Writing page 2 of ").size(), 1u);
}

TEST(UpdaterFlash, DryRunMakesEveryCheckAndSendsNoPageWrite) {
    const Outcome real = Updater({"flash", "--simulate", "--yes"});
    const Outcome dry = Updater({"flash", "--simulate", "--dry-run"});
    EXPECT_EQ(dry.exitCode, kExitDone);
    EXPECT_EQ(dry.err, "");
    EXPECT_EQ(dry.Count(0xFD), 0);
    EXPECT_EQ(dry.Count(0x5A), 1);
    EXPECT_EQ(dry.Count(0x12), 2);  // at discovery and for the check
    EXPECT_EQ(dry.commands.size(), 3u);
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
    EXPECT_EQ(Lines(dry.out).back(), "Dry run passed: every check was made; no page write was sent.");
}

TEST(UpdaterFlash, DrivesAreChosenByNumber) {
    const Outcome r = Updater({"flash", "--simulate", "--yes", "--index", "2"});
    EXPECT_EQ(r.exitCode, kExitRefused);
    EXPECT_EQ(r.err,
              "updater: there is no drive 2; 1 drive was found (updater list shows the drives). "
              "Nothing has been sent to the drive.\n");
    EXPECT_EQ(r.commands.size(), 1u);  // only the INQUIRY of discovery
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

    EXPECT_EQ(Program("flash --simulate --yes").exitCode, 0);
    EXPECT_EQ(Program("flash --simulate=other-name --yes").exitCode, 1);
    EXPECT_EQ(Program("flash --simulate=fail-page:1 --yes").exitCode, 1);
    EXPECT_EQ(Program("flash --simulate --dry-run").exitCode, 0);
    for (const char* usage :
         {"", "erase", "flash --simulate=nothing", "flash --simulate=fail-page:0", "flash --index",
          "flash --index x --simulate", "list --yes", "info --dry-run", "flash --simulate=fail-page:65",
          "flash --device D --index 1", "flash --index 2 --device /dev/sr0", "flash --simulate --index 21",
          "flash --index 0"}) {
        SCOPED_TRACE(usage);
        const Outcome r = Program(usage);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("usage: updater"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
    const std::string cases = "; the cases are match (default), other-name, other-hwid, newer, fail-page:N (N from "
                              "1 to the image's pages), keeps-old, late-answer:S (S from 1 to 120), no-answer";
    // Each message names what was wrong and what is accepted; an argument is shown so that no byte of it
    // can end the line or forge one.
    struct Message {
        const char* args;
        const char* firstLine;
    } messages[] = {
        {"flash --index 21", "updater: --index needs a drive number from 1 to 20"},
        {"flash --simulate=", "updater: --simulate= needs a case"},
        {"list --simulate=odd", "updater: unknown simulated drive \"odd\""},
        {"list --simulate=fail-page:0", "updater: fail-page:N needs a page N from 1 to 64, the image's pages, not 0"},
        {"list --simulate=fail-page:65", "updater: fail-page:N needs a page N from 1 to 64, the image's pages, not 65"},
        {"list --simulate=fail-page:9999999",
         "updater: fail-page:N needs a page N from 1 to 64, the image's pages, not 9999999"},
        {"list --simulate=late-answer:0", "updater: late-answer:S needs S from 1 to 120 seconds, not 0"},
        {"list --simulate=late-answer:121", "updater: late-answer:S needs S from 1 to 120 seconds, not 121"},
        {"''", "updater: unknown command \"\""},
        {"\"$(printf 'fl\\033[2Jash')\"", "updater: unknown command \"fl\\x1B[2Jash\""},
        {"flash --device \"$(printf '/dev/sr9\\nupdater: flash done')\"",
         "updater: \"/dev/sr9\\x0Aupdater: flash done\" is not an optical drive the kernel lists"},
        // One option rule: a later option replaces an earlier one, an option never serves as a value, "--"
        // ends the options.
        {"flash --device --dry-run", "updater: --device needs a device path"},
        {"list -- --json", "updater: unexpected argument --json: list takes options only"},
        {"flash --yes=no", "updater: --yes takes no value"},
    };
    for (const Message& m : messages) {
        SCOPED_TRACE(m.args);
        const Outcome r = Program(m.args);
        EXPECT_EQ(r.exitCode, std::string(m.args).find("/dev/sr9") == std::string::npos ? 2 : 1);
        const std::string first = Lines(r.err).empty() ? "" : Lines(r.err)[0];
        EXPECT_EQ(first.substr(0, first.find("; the cases are")), m.firstLine);
        if (first.find("; the cases are") != std::string::npos) {
            EXPECT_EQ(first, m.firstLine + cases);
        }
    }
    for (const char* good : {"list --simulate=bogus --simulate", "list --simulate --"}) {
        SCOPED_TRACE(good);
        const Outcome r = Program(good);
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    for (const char* help : {"--help", "-h", "flash --help"}) {
        SCOPED_TRACE(help);
        const Outcome r = Program(help);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("usage: updater list", 0), 0u);
        EXPECT_EQ(r.err, "");
    }
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

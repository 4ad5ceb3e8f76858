// What the Linux updater says before it sends anything, for each way the machine can fail it:
// no drive, a drive that does not open, capabilities it cannot read, a node that is no drive.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "FakeRoot.h"
#include "Capture.h"
#include "Child.h"
#include "FakeSgSystem.h"
#include "TempDir.h"
#include "Updater.h"

namespace {

struct Case {
    const char* what;
    std::vector<std::string> args;
    int openError;       // of the drive's block node; -1: no drive at all
    bool blockNode;      // the drive has one; else only its generic node
    const char* status;  // the process's status file; nullptr: none
    int exitCode;
    const char* said;    // the start of what standard output or standard error says
};

TEST(UpdaterLinux, RefusalsBeforeAnythingIsSent) {
    const Case cases[] = {
        {"no drive", {"list"}, -1, true, "", kExitDone, "No optical drive found.\n"},
        {"no status file", {"flash", "--yes", "--dry-run"}, 0, true, nullptr, kExitDone, "Drive: [ 1 ]"},
        {"no CapEff line", {"flash", "--yes", "--dry-run"}, 0, true, "Name:\tupdater\n", kExitDone, "Drive: [ 1 ]"},
        {"a number past the drives", {"flash", "--yes", "--index", "2"}, 0, true, "", kExitRefused,
         "updater: there is no drive 2; 1 drive was found"},
        {"not permitted", {"flash", "--yes"}, EPERM, true, "", kExitRefused,
         "updater: @/dev/sr0 cannot be opened: Operation not permitted"},
        {"no device", {"flash", "--yes"}, ENXIO, true, "", kExitRefused,
         "updater: @/dev/sr0 cannot be opened: No such device or address. Nothing has been sent"},
        {"generic node alone, no sr driver", {"flash", "--yes", "--device", "@/dev/sr0"}, 0, false, "", kExitRefused,
         "updater: @/dev/sr0 is not an optical drive the kernel lists\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto here = [&dir](std::string text) {
            for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir.Path().string());
            return text;
        };
        FakeSgSystem sg;
        sg.answer = [](int, const sg_io_hdr_t& h) {
            SgAnswer a;
            if (h.cmdp[0] == 0x12) {
                a.data.assign(50, 0);
                a.data[0] = 0x05;
                std::memcpy(&a.data[8], "VELD    DVD-RW KX4800   1.02", 28);
            } else if (h.cmdp[0] == 0x5A) {
                a.data.assign(20, 0);
                std::memcpy(a.data.data(), "KOLA", 4);
                std::memcpy(&a.data[16], "HWK4", 4);
            }
            return a;
        };
        if (c.openError >= 0) {
            const std::string device = "sys/class/scsi_device/0:0:0:0/device/";
            dir.Write(device + "type", "5\n");
            std::filesystem::create_directories(dir.Path() / device / "scsi_generic/sg0");
            if (c.blockNode) std::filesystem::create_directories(dir.Path() / device / "block/sr0");
            const std::string node = dir / (c.blockNode ? "dev/sr0" : "dev/sg0");
            dir.Write(c.blockNode ? "dev/sr0" : "dev/sg0", "");
            sg.nodes[dir / "dev/sg0"] = 10;
            if (c.openError) sg.openErrors[node] = c.openError;
            else sg.nodes[node] = 10;
        }
        dir.Write("mounts", "");
        if (c.status) dir.Write("status", c.status);
        CapturedFile out, err, in;
        UpdaterStreams s = StreamsUnder(dir, sg, out.get(), err.get(), in.get());
        std::vector<std::string> args;
        for (const std::string& arg : c.args) args.push_back(here(arg));
        EXPECT_EQ(RunUpdater(args, s), c.exitCode) << out.Text() << err.Text();
        const std::string said = (c.said[0] == 'u' ? err : out).Text();
        EXPECT_EQ(said.rfind(here(c.said), 0), 0u) << said;
        // Refused: nothing but the INQUIRY that lists a drive.
        for (const auto& sent : sg.sent) EXPECT_TRUE(c.exitCode != kExitRefused || sent.cdb[0] == 0x12);
    }
}

// Questions go where the user reads them: standard output, else standard error, else the
// controlling terminal; none without a terminal to read the answer from.
TEST(UpdaterLinux, QuestionsGoToTheTerminal) {
    enum Ask { kOut, kErr, kTty, kNone };
    struct Streams {
        bool in, out, err;  // which of them are the terminal
        Ask ask;
    };
    for (const Streams& c : {Streams{true, true, true, kOut}, Streams{true, false, true, kErr},
                             Streams{true, false, false, kTty}, Streams{false, true, true, kNone}}) {
        TempDir dir;
        const int status = ChildStatus([&] {
            const int master = posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || setsid() < 0) std::exit(10);
            const int terminal = open(ptsname(master), O_RDWR), file = open((dir / "file").c_str(), O_RDWR | O_CREAT, 0600);
            if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) std::exit(11);
            dup2(c.in ? terminal : file, STDIN_FILENO);
            dup2(c.out ? terminal : file, STDOUT_FILENO);
            dup2(c.err ? terminal : file, STDERR_FILENO);
            const UpdaterStreams s = ProcessStreams();
            std::exit(s.ask == stdout ? kOut : s.ask == stderr ? kErr : s.ask ? kTty : kNone);
        });
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.ask) << status;
    }
}

}  // namespace

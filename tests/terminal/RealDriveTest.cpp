// The updater on Linux drives: sysfs discovery, the mount refusal, a rejected
// page and the signal hold, against a scripted SG_IO seam and folders made here.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>

#include "FakeRoot.h"
#include "Capture.h"
#include "FakeSgSystem.h"
#include "MainTexts.h"
#include "SgTransport.h"
#include "TempDir.h"
#include "Updater.h"

namespace {

namespace fs = std::filesystem;

struct Reply {
    std::string product = "VELD    DVD-RW KX4800   ";
    std::string revision = "1.02";
    bool identity = true;  // answers the identity query with the signature and hardware ID "K4"
};

class RealDrives : public ::testing::Test {
protected:
    void SetUp() override {
        sg.answer = [this](int fd, const sg_io_hdr_t& h) {
            SgAnswer a;
            const Reply& r = replies[fd];
            if (h.cmdp[0] == 0x12) {
                a.data.assign(50, 0);
                a.data[0] = 0x05;
                std::memcpy(&a.data[8], r.product.data(), 24);
                std::memcpy(&a.data[32], r.revision.data(), 4);
                a.data[38] = 'K';
                a.data[39] = '4';
            } else if (h.cmdp[0] == 0x5A && r.identity) {
                a.data.assign(20, 0);
                std::memcpy(a.data.data(), "KOLA", 4);
                a.data[16] = 'H', a.data[17] = 'W', a.data[18] = 'K', a.data[19] = '4';
            } else if (h.cmdp[0] == 0xFD && onPageWrite) {
                return onPageWrite(++pageWrites);
            }
            return a;
        };
    }

    // A drive of peripheral type 5 at host 0, target n, with block node srN and generic node sgN;
    // the generic node opens as the same descriptor, so that its answers stay the drive's.
    void AddDrive(int n, int openError = 0) {
        const std::string hctl = "0:0:" + std::to_string(n) + ":0";
        const std::string device = "sys/devices/pci0000:00/host0/target0:0:" + std::to_string(n) + "/" + hctl;
        dir.Write(device + "/type", "5\n");
        fs::create_directories(dir.Path() / device / "block" / ("sr" + std::to_string(n)));
        fs::create_directories(dir.Path() / device / "scsi_generic" / ("sg" + std::to_string(n)));
        const fs::path classDevice = dir.Path() / device / "scsi_device" / hctl;
        fs::create_directories(classDevice);
        fs::create_symlink("../..", classDevice / "device");
        fs::create_directories(dir.Path() / "sys/class/scsi_device");
        fs::create_symlink(fs::relative(classDevice, dir.Path() / "sys/class/scsi_device"),
                           dir.Path() / "sys/class/scsi_device" / hctl);
        const std::string node = Node(n);
        dir.Write("dev/sr" + std::to_string(n), "");
        if (openError) {
            sg.openErrors[node] = openError;
        } else {
            sg.nodes[node] = 10 + n;
            sg.nodes[dir / ("dev/sg" + std::to_string(n))] = 10 + n;
        }
    }
    std::string Node(int n) const { return dir / ("dev/sr" + std::to_string(n)); }

    int Run(const std::vector<std::string>& args) {
        CapturedFile o, e, i;
        // A process that may send vendor commands, whoever runs the tests, unless a test says otherwise.
        if (!fs::exists(dir.Path() / "status")) dir.Write("status", "Name:\tupdater\nCapEff:\t000001ffffffffff\n");
        UpdaterStreams s = StreamsUnder(dir, sg, o.get(), e.get(), i.get());
        const int code = RunUpdater(args, s);
        out = o.Text();
        err = e.Text();
        return code;
    }
    int Sent(uint8_t opcode) const {
        int n = 0;
        for (const auto& c : sg.sent) n += c.cdb[0] == opcode;
        return n;
    }

    TempDir dir;
    FakeSgSystem sg;
    std::map<int, Reply> replies;
    std::function<SgAnswer(int)> onPageWrite;
    int pageWrites = 0;
    std::string out, err;
};

TEST_F(RealDrives, ListShowsEveryDriveWithItsNodeOrWhyItCannotBeOpened) {
    dir.Write("mounts", "");
    AddDrive(0);
    AddDrive(1, EACCES);
    replies[10].product = "QEMU    QEMU DVD-ROM    ";
    replies[10].revision = "2.5+";
    EXPECT_EQ(Run({"list"}), kExitDone);
    EXPECT_EQ(out, "[ 1 ] QEMU    QEMU DVD-ROM      2.5+  " + Node(0) + "\n" + Node(1) +
                       ": cannot be opened: " + ErrnoText(EACCES) + "\n");
    EXPECT_EQ(err, "");
}

// The table holds 20 drives: sysfs order decides, an unopened drive takes no
// entry, and what does not fit is named, not dropped; flashing reaches the 20th.
TEST_F(RealDrives, ListFillsTheTwentyEntryTableInSysfsOrder) {
    dir.Write("mounts", "");
    for (int n = 0; n < 23; ++n) AddDrive(n, n == 3 ? EACCES : 0);
    for (int n = 0; n < 23; ++n) replies[10 + n].revision = "1." + std::to_string(10 + n);
    EXPECT_EQ(Run({"list"}), kExitDone);
    std::string expected;
    int item = 0;
    for (int n = 0; n < 23; ++n) {
        if (n == 3) {
            expected += Node(n) + ": cannot be opened: " + ErrnoText(EACCES) + "\n";
        } else if (item < 20) {
            const std::string number = std::to_string(++item);
            expected += "[ " + number + " ] VELD    DVD-RW KX4800     1." + std::to_string(10 + n) + "  " +
                        Node(n) + "\n";
        } else {
            expected += Node(n) + ": not listed: the device table is full\n";
        }
    }
    EXPECT_EQ(out, expected);
    for (const auto& c : sg.sent) EXPECT_LT(c.fd, 10 + 21) << "a command reached a drive past the table";
    EXPECT_EQ(sg.opens.size(), 21u);
    EXPECT_EQ(Sent(0x12), 20);  // one INQUIRY for each listed drive, and that is all

    sg.sent.clear();
    EXPECT_EQ(Run({"flash", "--index", "20", "--yes", "--dry-run"}), kExitDone) << out << err;
    ASSERT_FALSE(sg.sent.empty());
    EXPECT_EQ(sg.sent.back().fd, 10 + 20);  // drive 21 in sysfs, the 20th listed
    EXPECT_EQ(Sent(0x5A), 1);
    EXPECT_EQ(Run({"flash", "--index", "21", "--yes", "--dry-run"}), kExitUsage);
    EXPECT_EQ(Sent(0x5A), 1);
}

TEST_F(RealDrives, MountedDriveIsRefusedBeforeTheProcedureSendsAnything) {
    AddDrive(0);
    dir.Write("mounts", Node(0) + " /media/cd iso9660 ro 0 0\n");
    EXPECT_EQ(Run({"flash", "--yes"}), kExitRefused);
    EXPECT_EQ(err, "updater: " + Node(0) +
                       " is mounted on /media/cd; unmount it first. "
                       "Nothing has been sent to the drive.\n");
    EXPECT_EQ(Sent(0x5A), 0);
    EXPECT_EQ(Sent(0xFD), 0);
    EXPECT_EQ(Sent(0x12), static_cast<int>(sg.sent.size()));  // only the INQUIRY of discovery

    // Unreadable mount table: refused as well.
    fs::remove(dir.Path() / "mounts");
    EXPECT_EQ(Run({"flash", "--yes"}), kExitRefused);
    EXPECT_EQ(err.rfind("updater: cannot tell whether " + Node(0) + " is mounted", 0), 0u);
    EXPECT_EQ(Sent(0x5A), 0);
}

// The drive's node and its generic node are held exclusively from the identity query to the
// read-back; a drive another program holds so is refused with nothing sent.
TEST_F(RealDrives, TheDriveIsHeldExclusivelyForTheProcedureOrRefusedWhenBusy) {
    dir.Write("mounts", "");
    AddDrive(0);
    const std::string generic = dir / "dev/sg0";
    sg.exclusiveNodes[Node(0)] = 20;
    sg.exclusiveNodes[generic] = 21;
    sg.exclusiveErrors[Node(0)] = EBUSY;
    EXPECT_EQ(Run({"flash", "--yes"}), kExitRefused);
    EXPECT_EQ(err, std::string("updater: ") + text::kDriveInUse + "\n");
    EXPECT_EQ(Sent(0x12), static_cast<int>(sg.sent.size()));  // only the INQUIRY of discovery

    sg.exclusiveErrors.clear();
    sg.sent.clear();
    sg.closes.clear();
    EXPECT_EQ(Run({"flash", "--yes"}), kExitDone) << err;
    EXPECT_EQ(Sent(0xFD), 64);
    // Discovery's INQUIRY on the list's descriptor, every later command on the exclusive generic
    // one, with the drive taken from the sr driver from before the first to after the last.
    ASSERT_GT(sg.sent.size(), 1u);
    EXPECT_EQ(sg.sent.front().fd, 10);
    for (size_t i = 1; i < sg.sent.size(); ++i) EXPECT_EQ(sg.sent[i].fd, 21) << i;
    const std::string sr = dir / "sys/bus/scsi/drivers/sr";
    EXPECT_EQ(sg.writes, (std::vector<FakeSgSystem::Write>{{sr + "/unbind", "0:0:0:0", 1},
                                                            {sr + "/bind", "0:0:0:0", sg.sent.size()}}));
    const int exclusive = O_RDWR | O_EXCL | O_NONBLOCK;
    EXPECT_NE(std::find(sg.opens.begin(), sg.opens.end(), std::make_pair(generic, exclusive)), sg.opens.end());
    EXPECT_EQ(std::count(sg.closes.begin(), sg.closes.end(), 20), 1);
    EXPECT_EQ(std::count(sg.closes.begin(), sg.closes.end(), 21), 1);
}

TEST_F(RealDrives, RejectedFirstPageStopsTheWrite) {
    dir.Write("mounts", "");
    AddDrive(0);
    AddDrive(1);
    onPageWrite = [](int) {
        SgAnswer a;
        a.status = 2;
        a.driver = kDriverSense;
        a.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00, 0, 0, 0, 0};
        return a;
    };
    EXPECT_EQ(Run({"flash", "--yes", "--device", Node(1)}), kExitRefused);
    EXPECT_EQ(Sent(0xFD), 1);
    for (const auto& c : sg.sent) {
        if (c.cdb[0] == 0x5A || c.cdb[0] == 0xFD) {
            EXPECT_EQ(c.fd, 11);
        }
    }
    EXPECT_EQ(err.rfind("updater: Writing page 1 of ", 0), 0u);
    EXPECT_NE(err.find("Status 2, sense key 05h, ASC 20h, ASCQ 00h."), std::string::npos);
}

TEST_F(RealDrives, SignalsDuringThePageWritesDoNotCutThemShort) {
    dir.Write("mounts", "");
    AddDrive(0);
    onPageWrite = [](int page) {
        if (page == 1) std::raise(SIGTERM);
        if (page == 2) std::raise(SIGINT);
        return SgAnswer{};
    };
    EXPECT_EQ(Run({"flash", "--yes"}), kExitRefused);
    EXPECT_EQ(pageWrites, 64);
    // Both streams say the same: the image is on the drive whole; the exit status is the signal's.
    const std::string said =
        "SIGTERM came while the pages were written; the writes went on to the end: every page was written "
        "and the firmware on the drive is complete. The exit status is 1 because of the signal.\n";
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), said.size() + 21)),
              "Yes!: Flash Succeed!\n" + said);
    EXPECT_EQ(err, "updater: " + said);
    // Outside the writes, the signals are the process's own again.
    struct sigaction now {};
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

// Parsed by Python's json module: each drive's texts come back as the bytes the drive gave,
// one code point per byte, whatever the bytes.
TEST_F(RealDrives, ListJsonIsValidForAnyBytesOfTheDrivesTexts) {
    dir.Write("mounts", "");
    AddDrive(0, EACCES);
    AddDrive(1);
    AddDrive(2);
    replies[11].product = std::string("Q\"E\\M\x01\x1f\x7f\x80\xe9\xff/\tDVD \b\x1b[2J\xc3\x28 ", 24);
    replies[11].revision = "\"\\\x02\xfe";
    replies[12].product = std::string("VELD\0 ignored after zero", 24);
    ASSERT_EQ(Run({"list", "--json"}), kExitDone);
    EXPECT_EQ(err, "");
    dir.Write("list.json", out);
    dir.Write("read.py",
              "import json, sys\n"
              "d = json.load(open(sys.argv[1]))\n"
              "print(d['formatVersion'], type(d['programVersion']).__name__)\n"
              "b = lambda t: None if t is None else t.encode('latin-1').hex()\n"
              "for x in d['drives']:\n"
              "    print(x['number'], x['node'], b(x['product']), b(x['revision']), x['opened'], x['reason'])\n");
    std::FILE* p = popen(("python3 " + (dir / "read.py") + " " + (dir / "list.json") + " 2>&1").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string read;
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) read.append(buffer, n);
    EXPECT_EQ(pclose(p), 0) << read << out;
    auto hex = [](const std::string& bytes) {
        std::string h;
        for (unsigned char c : bytes) h += "0123456789abcdef"[c >> 4], h += "0123456789abcdef"[c & 15];
        return h;
    };
    EXPECT_EQ(read, "1 str\n"
                    "None " + Node(0) + " None None False " + ErrnoText(EACCES) + "\n"
                    "1 " + Node(1) + " " + hex(replies[11].product) + " " + hex(replies[11].revision) + " True None\n"
                    "2 " + Node(2) + " " + hex("VELD") + " " + hex("1.02") + " True None\n");
}

// The Drive line is the line `list` gives the drive: its number there and its node.
TEST_F(RealDrives, DeviceIsNamedWithItsNodeAndTheNumberListGivesIt) {
    dir.Write("mounts", "");
    AddDrive(0, EACCES);
    AddDrive(1);
    AddDrive(2);
    replies[12].revision = "1.01";
    ASSERT_EQ(Run({"list"}), kExitDone);
    const std::string listed = "[ 2 ] VELD    DVD-RW KX4800     1.01  " + Node(2);
    EXPECT_NE(out.find("\n" + listed + "\n"), std::string::npos) << out;
    EXPECT_EQ(Run({"flash", "--device", Node(2), "--dry-run"}), kExitDone) << err;
    EXPECT_EQ(out.substr(0, out.find('\n')), "Drive: " + listed);
}

// A drive that cannot be opened, or a process that may not send the page writes, is refused
// with the reason and the rights it takes, before anything is sent.
TEST_F(RealDrives, DeviceWithoutTheRightsIsRefusedWithTheReason) {
    dir.Write("mounts", "");
    AddDrive(0);
    AddDrive(1, EACCES);
    EXPECT_EQ(Run({"flash", "--device", Node(1), "--yes"}), kExitRefused);
    EXPECT_EQ(err, "updater: " + Node(1) + " cannot be opened: " + ErrnoText(EACCES) +
                       ". Run updater as root, for example with sudo: writing a drive's firmware also needs read "
                       "and write access to its device node. Nothing has been sent to the drive.\n");
    EXPECT_EQ(out, "");
    EXPECT_TRUE(sg.sent.empty());

    dir.Write("status", "Name:\tupdater\nCapPrm:\t000001ffffffffff\nCapEff:\t0000000000000000\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"flash", "--device", Node(0), "--yes"}, {"flash", "--dry-run"}}) {
        EXPECT_EQ(Run(args), kExitRefused);
        EXPECT_EQ(err, "updater: this process lacks CAP_SYS_RAWIO, without which the kernel refuses the page "
                       "writes (EPERM). Run updater as root, for example with sudo, or give it CAP_SYS_RAWIO. "
                       "Nothing has been sent to the drive.\n");
        EXPECT_TRUE(sg.sent.empty());
    }
    // CAP_SYS_RAWIO is bit 17 of the effective set; CAP_SYS_ADMIN (21) alone does not let the writes through.
    dir.Write("status", "Name:\tupdater\nCapEff:\t0000000000200000\n");
    EXPECT_EQ(Run({"flash", "--dry-run"}), kExitRefused);
    EXPECT_NE(err.find("lacks CAP_SYS_RAWIO"), std::string::npos) << err;
    dir.Write("status", "Name:\tupdater\nCapEff:\t0000000000020000\n");
    EXPECT_EQ(Run({"flash", "--dry-run"}), kExitDone) << err;
    sg.sent.clear();
    EXPECT_EQ(Run({"list"}), kExitDone);  // listing needs no vendor command
    EXPECT_EQ(Sent(0x12), 1);
}

TEST_F(RealDrives, MissingDrivesAreNamed) {
    dir.Write("mounts", "");
    EXPECT_EQ(Run({"flash", "--yes"}), kExitRefused);
    EXPECT_EQ(err,
              "updater: no drive to write to was found (updater list shows the drives). "
              "Nothing has been sent to the drive.\n");
    AddDrive(0);
    EXPECT_EQ(Run({"flash", "--yes", "--device", dir / "dev/sr7"}), kExitRefused);
    EXPECT_EQ(err, "updater: " + (dir / "dev/sr7") + " is not an optical drive the kernel lists\n");
    EXPECT_EQ(Sent(0x5A), 0);

    // The drive another updater holds: its block node is away, its generic node busy.
    AddDrive(1);
    const std::string device = "sys/devices/pci0000:00/host0/target0:0:1/0:0:1:0";
    fs::remove_all(dir.Path() / device / "block");
    fs::remove(Node(1));
    dir.Write("dev/sg1", "");
    sg.openErrors[dir / "dev/sg1"] = EBUSY;
    EXPECT_EQ(Run({"flash", "--yes", "--device", Node(1)}), kExitRefused);
    EXPECT_EQ(err, "updater: " + Node(1) + " is not there now, and " + (dir / "dev/sg1") +
                       " is in use by another program: an updater that writes a drive's firmware takes the drive's "
                       "block node away until it is done. Wait for it, then start again. Nothing has been sent to "
                       "the drive.\n");
    // Its number, while list says it cannot be opened: not "there is no drive 2".
    EXPECT_EQ(Run({"flash", "--yes", "--index", "2"}), kExitRefused);
    EXPECT_EQ(err, "updater: there is no drive 2 now: 1 drive opened, and " + (dir / "dev/sg1") +
                       " cannot be opened: " + ErrnoText(EBUSY) +
                       " (another program, an updater perhaps, holds it). Nothing has been sent to the drive.\n");
    EXPECT_EQ(Sent(0x5A), 0);

    // The generic node of a drive that has its block node names that drive.
    EXPECT_EQ(Run({"flash", "--device", dir / "dev/sg0", "--dry-run"}), kExitDone) << err;
    EXPECT_EQ(out.substr(0, out.find('\n')).rfind("Drive: [ 1 ] ", 0), 0u) << out;
    EXPECT_NE(out.find(Node(0)), std::string::npos) << out;
}

// A drive that a killed updater left taken from the sr driver: given back before the drives are
// listed, so that the same command finds it under its old name; where it cannot be given back, the
// old name says where the drive is now and why.
TEST_F(RealDrives, ADriveAKilledUpdaterLeftIsGivenBackFirstOrToldWhereItIs) {
    dir.Write("mounts", "");
    AddDrive(0);
    const fs::path device = dir.Path() / "sys/devices/pci0000:00/host0/target0:0:0/0:0:0:0";
    fs::remove_all(device / "block");
    fs::remove(Node(0));
    fs::create_directories(dir.Path() / "sys/bus/scsi/drivers/sr");
    const std::string bind = dir / "sys/bus/scsi/drivers/sr/bind", generic = dir / "dev/sg0";
    dir.Write("dev/sg0", "");
    sg.writeErrors[bind] = EACCES;
    EXPECT_EQ(Run({"flash", "--yes", "--device", Node(0)}), kExitRefused);
    EXPECT_EQ(err.rfind("updater: " + generic + " (SCSI device 0:0:0:0) has no block node: ", 0), 0u) << err;
    EXPECT_NE(err.find("\nupdater: " + Node(0) + " is not there now; " + generic +
                       " is an optical drive without its block node"),
              std::string::npos)
        << err;
    EXPECT_EQ(Sent(0x5A), 0);

    sg.writeErrors.clear();
    sg.onWrite = [&](const FakeSgSystem::Write& w) {
        if (w.path != bind) return;
        fs::create_directories(device / "block/sr0");
        dir.Write("dev/sr0", "");
    };
    EXPECT_EQ(Run({"flash", "--yes", "--dry-run", "--device", Node(0)}), kExitDone) << err;
    EXPECT_EQ(err, "updater: " + generic + " (SCSI device 0:0:0:0) had been left without its block node by an "
                   "updater that was ended without giving the drive back; it is given back to the sr driver as " +
                   Node(0) + "\n");
    EXPECT_EQ(out.substr(0, out.find('\n')), "Drive: [ 1 ] VELD    DVD-RW KX4800     1.02  " + Node(0));
}

}  // namespace

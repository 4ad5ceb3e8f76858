// The real system calls, on what this machine has: no drive, so the error paths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "SgDiscovery.h"
#include "SgTransport.h"
#include "Child.h"
#include "TempDir.h"

namespace {

TEST(SgSystemLinux, NodeThatDoesNotExistFailsToOpenWithENOENT) {
    SgSystem& system = SystemSgSystem();
    EXPECT_EQ(system.Open("/dev/no-such-drive-sr99", O_RDWR | O_NONBLOCK), -1);
    EXPECT_EQ(system.Errno(), ENOENT);
    EXPECT_EQ(ErrnoText(system.Errno()), "No such file or directory");
}

TEST(SgSystemLinux, SgIoOnSomethingThatIsNoScsiDeviceIsNotDelivered) {
    SgSystem& system = SystemSgSystem();
    const int fd = system.Open("/dev/null", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    sigset_t before, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);

    SgTransport transport(system);
    uint8_t buffer[50] = {};
    CommandRecord inquiry;
    inquiry.cdb[0] = 0x12;
    inquiry.cdb[4] = 50;
    inquiry.buffer = buffer;
    inquiry.length = 50;
    inquiry.direction = kDirIn;
    EXPECT_EQ(transport.Send(fd, inquiry), 0);
    EXPECT_EQ(inquiry.outcome, CommandOutcome::NotDelivered);
    EXPECT_NE(inquiry.osError, 0u);
    EXPECT_EQ(inquiry.osError, static_cast<uint32_t>(system.Errno()));

    // The signals blocked for the call are open again afterwards.
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        EXPECT_EQ(sigismember(&before, signal), sigismember(&after, signal)) << signal;

    EXPECT_EQ(system.Close(fd), 0);
    EXPECT_EQ(system.Close(fd), -1);
    EXPECT_EQ(system.Errno(), EBADF);
}

TEST(SgSystemLinux, DiscoveryListsADriveWhoseNodeIsMissing) {
    TempDir dir;
    dir.Write("sys/class/scsi_device/0:0:0:0/device/type", "5\n");
    std::filesystem::create_directories(dir.Path() / "sys/class/scsi_device/0:0:0:0/device/block/sr0");
    SgTransport transport(SystemSgSystem());
    SgDriveList list(transport, dir / "sys", dir / "dev");
    ASSERT_EQ(list.Drives().size(), 1u);
    EXPECT_EQ(list.Drives()[0].node, dir / "dev/sr0");
    EXPECT_EQ(list.Drives()[0].fd, -1);
    EXPECT_EQ(list.Drives()[0].reason, "No such file or directory");
}

// Another process with the same device open is named, and this one never: the updater that holds
// a drive would otherwise find itself keeping it and refuse every flash. The process table as a
// folder standing for /proc: each process's descriptors are links to what they have open.
TEST(SgSystemLinux, HoldersOfADeviceAreTheOtherProcessesThatHaveItOpen) {
    TempDir dir;
    dir.Write("regular", "");
    const bool block = ::mknod((dir / "block").c_str(), S_IFBLK | 0600, makedev(1, 3)) == 0;
    struct Process {
        std::string pid;
        std::vector<std::string> open;  // what its descriptors 0, 1... are links to
    };
    const std::vector<Process> table = {
        {"100", {"/dev/zero", "/dev/null", "/dev/null"}},  // named once
        {"200", {"/dev/zero"}},                             // another device
        {"300", {dir / "gone"}},                            // a descriptor closed as it is looked at
        {"400", {dir / "regular"}},
        {std::to_string(getpid()), {"/dev/null"}},          // never this process itself
        {"self", {"/dev/null"}},                            // not a process number
        {"500", {}},                                        // its descriptors unreadable
        {"600", {block ? dir / "block" : "/dev/zero"}},     // the same numbers, a block device
    };
    for (const Process& process : table) {
        const std::filesystem::path folder = dir.Path() / "proc" / process.pid;
        dir.Write("proc/" + process.pid + "/comm", "name" + process.pid + "\n");
        if (process.pid == "500") continue;
        std::filesystem::create_directories(folder / "fd");
        for (size_t fd = 0; fd < process.open.size(); ++fd)
            std::filesystem::create_symlink(process.open[fd], folder / "fd" / std::to_string(fd));
    }

    const auto scan = [](const std::string& path, int flags, const std::string& root) {
        const int fd = open(path.c_str(), flags);
        std::vector<std::string> holders = DeviceHolders(fd, root);
        std::sort(holders.begin(), holders.end());
        if (fd >= 0) close(fd);
        return holders;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(scan("/dev/null", O_RDONLY, dir / "proc"), Names{"name100, process 100"});
    if (block) {
        EXPECT_EQ(scan(dir / "block", O_PATH, dir / "proc"), Names{"name600, process 600"});
    }
    EXPECT_EQ(scan(dir / "regular", O_RDONLY, dir / "proc"), Names{});  // no device: nobody
    EXPECT_EQ(scan(dir / "no-such", O_RDONLY, dir / "proc"), Names{});
    EXPECT_EQ(scan("/dev/null", O_RDONLY, dir / "no-proc"), Names{});

    // The real /proc, from a child: the test process, which holds the child's device too, is named.
    const int fd = open("/dev/null", O_RDONLY);
    const std::string parent = ", process " + std::to_string(getpid());
    const int status = ChildStatus([&] {
        const std::vector<std::string> holders = SystemSgSystem().OtherHolders(fd);
        const std::string self = ", process " + std::to_string(getpid());
        const auto named = [&holders](const std::string& end) {
            return std::any_of(holders.begin(), holders.end(), [&end](const std::string& h) {
                return h.size() >= end.size() && h.compare(h.size() - end.size(), end.size(), end) == 0;
            });
        };
        std::exit(named(parent) && !named(self) ? 0 : 1);
    });
    close(fd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

void Noop(int) {}

// In a counted child: sig set to its default, ignored or handled; the guard set twice (the second
// replaces the first), and lifted when asked; then sig comes. How the child ended, and what the
// guard wrote to the give-back file.
struct GuardCase {
    int sig;
    void (*before)(int);  // SIG_DFL, SIG_IGN or a handler
    bool unguarded;
    const char* folder;   // where the give-back file is
    bool ended;           // by sig; else it exits 0
    const char* written;  // nullptr: no give-back file there, and none made
};

// Every signal that would end the process gives the drive back first, then ends it as it would
// have; one that was ignored or handled when the guard was set stays so and gives nothing back
// (under nohup, SIGHUP would give the drive back to the sr driver while the writes go on).
TEST(SgSystemLinux, ASignalThatWouldEndTheProcessGivesTheDriveBackAndEndsIt) {
    const std::string deep = std::string(200, 'd') + "/" + std::string(200, 'e');
    std::vector<GuardCase> cases;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                    SIGXFSZ, SIGPIPE})
        cases.push_back({sig, SIG_DFL, false, ".", true, "2:0:0:0"});
    cases.insert(cases.end(), {{SIGHUP, SIG_IGN, false, ".", false, ""},
                               {SIGINT, Noop, false, ".", false, ""},
                               {SIGTERM, SIG_DFL, true, ".", true, ""},
                               {SIGTERM, SIG_DFL, false, deep.c_str(), true, "2:0:0:0"},
                               {SIGTERM, SIG_DFL, false, ".", true, nullptr}});
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.unguarded ? ", unguarded" : "") + " in " + c.folder);
        TempDir dir;
        if (c.written) dir.Write(std::string(c.folder) + "/bind", "");
        const std::string bind = dir / (std::string(c.folder) + "/bind");
        const int status = ChildStatus([&] {
            signal(c.sig, c.before);
            SgSystem& system = SystemSgSystem();
            const int fd = system.Open("/dev/null", O_RDONLY);
            system.Guard(fd, bind, "9:9:9:9");
            system.Guard(fd, bind, "2:0:0:0");
            if (c.unguarded) system.Unguard();
            CountedRaise(c.sig);
        });
        std::ifstream file(bind);
        EXPECT_EQ(file.is_open(), c.written != nullptr);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), c.written ? c.written : "");
        EXPECT_TRUE(c.ended ? WIFSIGNALED(status) && WTERMSIG(status) == c.sig
                            : WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << status;
    }
}

// The rest of the calls, as the drive layer meets them: each says whether it succeeded, and why not.
TEST(SgSystemLinux, WritesAndDescriptorsSayWhetherTheyWorked) {
    TempDir dir;
    SgSystem& system = SystemSgSystem();
    dir.Write("bind", "");
    EXPECT_EQ(system.WriteText(dir / "bind", "0:0:0:0"), 0);
    std::ifstream file(dir / "bind");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "0:0:0:0");
    EXPECT_EQ(system.WriteText(dir / "no-such/bind", "0:0:0:0"), -1);
    EXPECT_EQ(system.Errno(), ENOENT);
    EXPECT_EQ(system.WriteText("/dev/full", "0:0:0:0"), -1);
    EXPECT_EQ(system.Errno(), ENOSPC);

    const int null = system.Open("/dev/null", O_RDONLY), zero = system.Open("/dev/zero", O_RDONLY);
    ASSERT_GE(zero, 0);
    EXPECT_EQ(system.Dup2(zero, null), 0);
    char byte = 1;
    EXPECT_EQ(read(null, &byte, 1), 1);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(system.Dup2(-1, null), -1);
    EXPECT_EQ(system.Errno(), EBADF);
    system.Close(null);
    system.Close(zero);
    system.Sleep(1);
}

}  // namespace

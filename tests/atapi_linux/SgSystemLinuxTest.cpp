// The real system calls, on what this machine has: no drive, so the error paths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "SgDiscovery.h"
#include "SgTransport.h"
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
// a drive would otherwise find itself keeping it and refuse every flash.
TEST(SgSystemLinux, HoldersOfADeviceAreTheOtherProcessesAlone) {
    SgSystem& system = SystemSgSystem();
    const int fd = system.Open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // keeps the inherited descriptor open until it is ended
        close(ready[0]);
        ssize_t ignored = write(ready[1], "x", 1);
        (void)ignored;
        for (;;) pause();
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    const std::vector<std::string> holders = system.OtherHolders(fd);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    system.Close(fd);
    const auto named = [&holders](pid_t pid) {
        for (const std::string& holder : holders)
            if (holder.size() > 9 && holder.substr(holder.rfind(", process ") + 10) == std::to_string(pid))
                return true;
        return false;
    };
    EXPECT_TRUE(named(child));
    EXPECT_FALSE(named(getpid()));
}

// In a child: the guard set, with sig ignored first when asked; then sig comes. How the child
// ended (its wait status) and what the guard wrote to the give-back file.
struct Guarded {
    int status;
    std::string written;
};
Guarded GuardAndRaise(int sig, bool ignoredBefore) {
    TempDir dir;
    dir.Write("bind", "");
    const pid_t child = fork();
    if (child == 0) {
        if (ignoredBefore) signal(sig, SIG_IGN);
        SgSystem& system = SystemSgSystem();
        system.Guard(system.Open("/dev/null", O_RDONLY), dir / "bind", "2:0:0:0");
        raise(sig);
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    std::ifstream file(dir / "bind");
    return {status, std::string(std::istreambuf_iterator<char>(file), {})};
}

// Every signal that would end the process gives the drive back first, then ends it as it would
// have; one that was ignored when the guard was set stays ignored and gives nothing back (under
// nohup, SIGHUP would give the drive back to the sr driver while the writes go on).
TEST(SgSystemLinux, ASignalThatWouldEndTheProcessGivesTheDriveBackAndEndsIt) {
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                    SIGXFSZ, SIGPIPE}) {
        const Guarded ended = GuardAndRaise(sig, false);
        EXPECT_TRUE(WIFSIGNALED(ended.status) && WTERMSIG(ended.status) == sig) << strsignal(sig);
        EXPECT_EQ(ended.written, "2:0:0:0") << strsignal(sig);
    }
    for (int sig : {SIGHUP, SIGINT}) {
        const Guarded ignored = GuardAndRaise(sig, true);
        EXPECT_TRUE(WIFEXITED(ignored.status) && WEXITSTATUS(ignored.status) == 0) << strsignal(sig);
        EXPECT_EQ(ignored.written, "") << strsignal(sig);
    }
}

}  // namespace

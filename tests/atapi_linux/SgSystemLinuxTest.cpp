// The real system calls, on what this machine has: no drive, so the error paths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

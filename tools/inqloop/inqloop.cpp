// For the real-kernel rig: another program that asks a drive for its INQUIRY data over and
// over, as programs that poll drives do, without keeping the drive to itself. Each round opens
// the node for reading (no O_EXCL), sends a standard INQUIRY of 96 bytes with SG_IO and closes
// the node again; with --keep the node is opened once and kept. One line per round on standard
// output: "ROUND n open=ok|<error> inquiry=ok|<error>". Runs until a signal ends it.
// Usage: inqloop [--keep] NODE
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// 96 bytes, so that the drive's record tells these from any other program's INQUIRY.
constexpr unsigned char kLength = 96;

const char* Inquiry(int fd) {
    unsigned char cdb[6] = {0x12, 0, 0, 0, kLength, 0};
    unsigned char data[kLength] = {}, sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.dxferp = data;
    io.dxfer_len = sizeof data;
    io.sbp = sense;
    io.mx_sb_len = sizeof sense;
    io.timeout = 5000;
    if (ioctl(fd, SG_IO, &io) != 0) return std::strerror(errno);
    if (io.status != 0 || io.host_status != 0 || (io.driver_status & 0x0F) != 0) return "status";
    return "ok";
}

}  // namespace

int main(int argc, char** argv) {
    const bool keep = argc == 3 && std::strcmp(argv[1], "--keep") == 0;
    if (argc != 2 && !keep) {
        std::fprintf(stderr, "usage: inqloop [--keep] NODE\n");
        return 2;
    }
    const char* node = argv[argc - 1];
    int kept = -1;
    for (unsigned long round = 1;; ++round) {
        int fd = kept;
        if (fd < 0) fd = open(node, O_RDONLY | O_NONBLOCK);
        const char* opened = fd >= 0 ? "ok" : std::strerror(errno);
        const char* asked = fd >= 0 ? Inquiry(fd) : "not sent";
        std::printf("ROUND %lu open=%s inquiry=%s\n", round, opened, asked);
        std::fflush(stdout);
        if (keep && fd >= 0) kept = fd;
        else if (fd >= 0) close(fd);
        usleep(50 * 1000);
    }
}

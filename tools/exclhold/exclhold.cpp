// For the real-kernel rig: another program that keeps a drive to itself. Opens the
// node with O_EXCL for reading and writing (as the updater does for its procedure),
// says "HELD" on standard output, and keeps it until a signal ends the program.
// Usage: exclhold NODE
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: exclhold NODE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_EXCL | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "exclhold: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::printf("HELD %s\n", argv[1]);
    std::fflush(stdout);
    for (;;) pause();
}

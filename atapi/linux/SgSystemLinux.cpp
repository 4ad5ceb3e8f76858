#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "SgSystem.h"

namespace {

class LinuxSgSystem final : public SgSystem {
public:
    int Open(const std::string& path, int flags) override { return Keep(::open(path.c_str(), flags)); }
    int Close(int fd) override { return Keep(::close(fd)); }
    int Ioctl(int fd, sg_io_hdr_t* header) override {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        const int result = Keep(::ioctl(fd, SG_IO, header));
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return result < 0 ? -1 : 0;
    }
    int Errno() override { return lastError_; }

private:
    int Keep(int result) {
        if (result < 0) lastError_ = errno;
        return result;
    }
    int lastError_ = 0;
};

}  // namespace

SgSystem& SystemSgSystem() {
    static LinuxSgSystem system;
    return system;
}

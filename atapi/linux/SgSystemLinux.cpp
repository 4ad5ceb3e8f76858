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
    int Dup2(int from, int to) override { return Keep(::dup2(from, to)) < 0 ? -1 : 0; }
    int WriteText(const std::string& path, const std::string& text) override {
        const int fd = Keep(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (fd < 0) return -1;
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) lastError_ = errno;
        else if (static_cast<size_t>(written) != text.size()) lastError_ = EIO;
        ::close(fd);
        return written == static_cast<ssize_t>(text.size()) ? 0 : -1;
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

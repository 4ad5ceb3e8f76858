#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "SgSystem.h"

namespace {

// What the guard's handler needs, set up before it is installed: it may only make system calls.
constexpr auto& kGuarded = kEndingSignals;
constexpr size_t kGuardedCount = std::size(kGuarded);
struct GuardState {
    int fd = -1;
    char path[PATH_MAX] = {};  // any path open(2) takes: a guard that cannot be set would go unnoticed
    char text[64] = {};
    size_t textLength = 0;
    struct sigaction previous[kGuardedCount] = {};
    bool installed[kGuardedCount] = {};
    bool on = false;
} guard;

extern "C" void GiveBackAndEnd(int signal) {
    ::close(guard.fd);
    const int fd = ::open(guard.path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, guard.text, guard.textLength);
        (void)ignored;
        ::close(fd);
    }
    // The signal is blocked until the handler returns; then it acts as it would have.
    for (size_t i = 0; i < std::size(kGuarded); ++i)
        if (kGuarded[i] == signal) sigaction(signal, &guard.previous[i], nullptr);
    ::raise(signal);
}

// The names in a folder, without the hidden ones; none when it cannot be read.
std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

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
    std::vector<std::string> OtherHolders(int fd) override { return DeviceHolders(fd); }
    void Guard(int fd, const std::string& path, const std::string& text) override {
        Unguard();
        if (path.size() >= sizeof guard.path || text.size() >= sizeof guard.text) return;
        guard.fd = fd;
        std::memcpy(guard.path, path.c_str(), path.size() + 1);
        std::memcpy(guard.text, text.data(), text.size());
        guard.textLength = text.size();
        struct sigaction action = {};
        action.sa_handler = GiveBackAndEnd;
        sigfillset(&action.sa_mask);
        // Only signals that would end the process: one that is ignored (a background job's
        // SIGINT) or handled elsewhere stays as it is.
        for (size_t i = 0; i < std::size(kGuarded); ++i) {
            sigaction(kGuarded[i], nullptr, &guard.previous[i]);
            const struct sigaction& previous = guard.previous[i];
            guard.installed[i] = (previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_DFL;
            if (guard.installed[i]) sigaction(kGuarded[i], &action, nullptr);
        }
        guard.on = true;
    }
    void Unguard() override {
        if (!guard.on) return;
        for (size_t i = 0; i < std::size(kGuarded); ++i)
            if (guard.installed[i]) sigaction(kGuarded[i], &guard.previous[i], nullptr);
        guard.on = false;
    }
    void Sleep(int milliseconds) override { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
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

std::vector<std::string> DeviceHolders(int fd, const std::string& procRoot) {
    struct stat device{};
    if (::fstat(fd, &device) != 0 || !(S_ISBLK(device.st_mode) || S_ISCHR(device.st_mode))) return {};
    std::vector<std::string> holders;
    const std::string self = std::to_string(::getpid());
    for (const std::string& pid : Entries(procRoot)) {
        if (pid == self || !std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
        const std::string fds = procRoot + "/" + pid + "/fd";
        for (const std::string& entry : Entries(fds)) {
            struct stat held{};
            if (::stat((fds + "/" + entry).c_str(), &held) != 0 || held.st_rdev != device.st_rdev ||
                (held.st_mode & S_IFMT) != (device.st_mode & S_IFMT))
                continue;
            std::string name;
            std::getline(std::ifstream(procRoot + "/" + pid + "/comm"), name);
            holders.push_back(name + ", process " + pid);
            break;
        }
    }
    return holders;
}

SgSystem& SystemSgSystem() {
    static LinuxSgSystem system;
    return system;
}

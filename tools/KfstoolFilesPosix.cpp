#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "CommandLine.h"
#include "KfstoolFiles.h"
#include "KfstoolFilesPosix.h"

KfstoolWriteCalls kfstoolWriteCalls = {::write, ::fsync, ::close, ::rename, ::fchmod, ::fchown};

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = kfstoolWriteCalls.write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        // A write that takes nothing sets no errno; without one the message would say "Success".
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Where a chain of links ends, for a name that does not exist yet: a link to
// a missing file is followed to create that file, as a shell would.
std::string EndOfLinks(std::string path) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) return path;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : Folder(path) + "/" + target;
    }
    return path;
}

// Holds the signals a user sends to stop a program while the temporary
// exists, so that it is always renamed or removed; they act once released.
class HeldStopSignals {
public:
    HeldStopSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &old_);
    }
    ~HeldStopSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

// Replaces (or creates) the regular file `target` through a temporary of a
// unique name beside it. `linked`: OUT is a link that led to target.
bool Replace(const std::string& target, bool linked, const struct stat* old, const uint8_t* data, size_t size,
             std::string& reason) {
    const HeldStopSignals held;
    std::string temporary = Folder(target) + "/.kfstool-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        // The folder that is missing or closed may be the one a link leads into, not the link's own.
        reason = "cannot make a temporary file in " +
                 (linked ? ShownArgument(Folder(target)) + ", the folder the link leads into"
                         : "its folder " + ShownArgument(Folder(target))) +
                 ": " + std::strerror(errno);
        return false;
    }
    mode_t mode;
    if (old) {
        mode = old->st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = true;
    if (old && (old->st_uid != geteuid() || old->st_gid != getegid()) &&
        kfstoolWriteCalls.fchown(fd, old->st_uid, old->st_gid) != 0) {
        reason = "it belongs to another user or group, and a replacement could not keep that (" +
                 std::string(std::strerror(errno)) + ")";
        ok = false;
    }
    // After the owner: a change of owner clears the set-ID bits.
    if (ok && kfstoolWriteCalls.fchmod(fd, mode) != 0) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (ok && (!WriteAll(fd, data, size) || kfstoolWriteCalls.fsync(fd) != 0)) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (kfstoolWriteCalls.close(fd) != 0 && ok) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (ok && kfstoolWriteCalls.rename(temporary.c_str(), target.c_str()) != 0) {
        reason = std::strerror(errno);
        ok = false;
    }
    if (!ok) unlink(temporary.c_str());
    return ok;
}

}  // namespace

std::FILE* OpenInput(const std::string& path) { return path == "-" ? stdin : std::fopen(path.c_str(), "rb"); }

bool WriteOutput(const std::string& path, const uint8_t* data, size_t size, std::string& reason) {
    auto direct = [&](int fd) {
        if (WriteAll(fd, data, size)) return true;
        reason = std::strerror(errno);
        return false;
    };
    if (path == "-") return direct(STDOUT_FILENO);

    struct stat st;
    const bool linked = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            reason = std::strerror(errno);
            return false;
        }
        return Replace(EndOfLinks(path), linked, nullptr, data, size, reason);
    }
    struct stat out;
    if (fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino)
        return direct(STDOUT_FILENO);  // /dev/stdout and the like: keep the shell's redirection
    if (S_ISDIR(st.st_mode)) {
        reason = "it is a directory";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            reason = std::strerror(errno);
            return false;
        }
        bool ok = direct(fd);
        if (kfstoolWriteCalls.close(fd) != 0 && ok) {
            reason = std::strerror(errno);
            ok = false;
        }
        return ok;
    }
    // A file the user may not write stays as it is, though its folder would
    // let a replacement in.
    if (access(path.c_str(), W_OK) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    char* real = realpath(path.c_str(), nullptr);
    if (!real) {
        reason = std::strerror(errno);
        return false;
    }
    const std::string target = real;
    std::free(real);
    return Replace(target, linked, &st, data, size, reason);
}

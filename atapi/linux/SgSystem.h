// The few system calls the Linux drive access makes, behind a seam so that
// tests can script every answer. The real one is SystemSgSystem().
#pragma once

#include <scsi/sg.h>

#include <csignal>
#include <string>
#include <vector>

// Every signal whose default action ends the process and that a user or the system sends; SIGPIPE last.
inline constexpr int kEndingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                         SIGALRM,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPIPE};

class SgSystem {
public:
    virtual ~SgSystem() = default;
    // open(2): a file descriptor, or -1 (Errno() says why).
    virtual int Open(const std::string& path, int flags) = 0;
    // close(2): 0, or -1.
    virtual int Close(int fd) = 0;
    // ioctl(fd, SG_IO, header): 0 when the request went through (the header then holds the
    // SCSI, host and driver status), -1 when it did not (Errno() says why).
    virtual int Ioctl(int fd, sg_io_hdr_t* header) = 0;
    // dup2(2): `to` becomes a second descriptor of what `from` is open on, and what `to` was
    // open on is closed; 0, or -1.
    virtual int Dup2(int from, int to) = 0;
    // The processes other than this one that have a descriptor open on the device `fd` is open
    // on, each as "NAME, process PID"; none when fd names no device.
    virtual std::vector<std::string> OtherHolders(int fd) = 0;
    // Waits, nothing else.
    virtual void Sleep(int milliseconds) = 0;
    // Until Unguard: a signal that would end the process (HUP, INT, QUIT, TERM, USR1, USR2, ALRM,
    // VTALRM, PROF, XCPU, XFSZ, PIPE) first closes fd and writes text to path, then ends it as it
    // would have. One that is ignored or handled when the guard is set stays as it is. For a drive taken from
    // the sr driver, which takes it back only once every descriptor of its old block node is
    // closed. One guard at a time; a later one replaces it.
    virtual void Guard(int fd, const std::string& path, const std::string& text) = 0;
    virtual void Unguard() = 0;
    // Writes text to a file, as one write(2) (a sysfs attribute): 0, or -1 (Errno() says why).
    virtual int WriteText(const std::string& path, const std::string& text) = 0;
    // errno of the most recent call that failed.
    virtual int Errno() = 0;
};

// The real calls; defined only in the Linux-only source file. The SG_IO call runs with every
// catchable signal blocked: the sg driver stops waiting when a signal comes, and a restarted
// call would submit the command a second time. Whatever came in meanwhile is delivered as soon
// as the command has ended.
SgSystem& SystemSgSystem();
// The real OtherHolders, with the process table read from procRoot (/proc on a running system).
std::vector<std::string> DeviceHolders(int fd, const std::string& procRoot = "/proc");

// A forked child of a test whose run a coverage build counts: gcov writes its counts when a
// process ends through exit(), never when a signal ends it.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

// How a child that ran body ended (its wait status); one that returns from body exits 0.
inline int ChildStatus(const std::function<void()>& body) {
    std::fflush(nullptr);  // what this process buffered is written once, not once more by the child
    const pid_t child = fork();
    if (child == 0) {
        body();
        std::exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

// Raises sig in the child. Whatever handler is installed runs as the signal would run it; once it
// has returned, a copy of the process exits normally to write the counts, and the child goes on as
// the handler left it (ended by the signal it raised again, most often).
inline void CountedRaise(int sig) {
    static struct sigaction installed;
    sigaction(sig, nullptr, &installed);
    if (installed.sa_handler != SIG_DFL && installed.sa_handler != SIG_IGN && !(installed.sa_flags & SA_SIGINFO)) {
        struct sigaction counted = installed;
        counted.sa_handler = [](int s) {
            installed.sa_handler(s);
            if (const pid_t copy = fork(); copy == 0) std::exit(0); else waitpid(copy, nullptr, 0);
        };
        sigaction(sig, &counted, nullptr);
    }
    raise(sig);
}

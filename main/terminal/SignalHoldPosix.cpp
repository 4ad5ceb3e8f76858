// The signal hold on POSIX systems (see SignalHold.h).
#include "SignalHold.h"

#include <unistd.h>

namespace {

// Every signal a user or the system sends whose default action ends the process (SIGPIPE the
// program ignores): any one of them would cut the write short.
constexpr int kHeld[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                         SIGXFSZ};
constexpr int kHeldCount = sizeof kHeld / sizeof kHeld[0];

// Only what a handler may touch: sig_atomic_t flags and write().
volatile sig_atomic_t firstSignal = 0;
volatile sig_atomic_t told = 0;
volatile sig_atomic_t stopAsked = 0;
int depth = 0;

void Tell(const char* text, size_t length) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, length);
    (void)ignored;
}

extern "C" void Hold(int signal) {
    if (firstSignal == 0) firstSignal = signal;
    if (!told) {
        told = 1;
        Tell(kSignalHoldMessage, sizeof kSignalHoldMessage - 1);
    }
}

extern "C" void PutOffStop(int) {
    if (!stopAsked) {
        stopAsked = 1;
        Tell(kStopHoldMessage, sizeof kStopHoldMessage - 1);
    }
}

}  // namespace

struct SignalHold::Previous {
    struct sigaction held[kHeldCount];
    struct sigaction stop, terminalOutput;
};

SignalHold::SignalHold() : previous_(std::make_unique<Previous>()) {
    if (depth++ == 0) {
        firstSignal = 0;
        told = 0;
        stopAsked = 0;
    }
    struct sigaction action = {};
    action.sa_handler = Hold;
    sigemptyset(&action.sa_mask);
    for (int held : kHeld) sigaddset(&action.sa_mask, held);  // one handler at a time: one message
    // Other calls of the write (terminal output, waits) just go on after the handler.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kHeldCount; ++i) sigaction(kHeld[i], &action, &previous_->held[i]);

    struct sigaction stop = action;
    stop.sa_handler = PutOffStop;
    sigaction(SIGTSTP, &stop, &previous_->stop);
    // Caught, SIGTTOU would make every terminal write of a background process restart
    // forever; ignored, the write goes through.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTTOU, &ignore, &previous_->terminalOutput);
}

SignalHold::~SignalHold() {
    for (int i = 0; i < kHeldCount; ++i) sigaction(kHeld[i], &previous_->held[i], nullptr);
    sigaction(SIGTSTP, &previous_->stop, nullptr);
    sigaction(SIGTTOU, &previous_->terminalOutput, nullptr);
    // The stop that was put off, now that nothing is being written.
    if (--depth == 0 && stopAsked) raise(SIGTSTP);
}

bool SignalHold::SignalCame() const { return firstSignal != 0; }

int SignalHold::FirstSignal() const { return firstSignal; }

const char* HeldSignalName(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT (Ctrl-C)";
        case SIGQUIT: return "SIGQUIT (Ctrl-\\)";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP (the terminal hung up)";
        case SIGUSR1: return "SIGUSR1";
        case SIGUSR2: return "SIGUSR2";
        case SIGALRM: return "SIGALRM";
        case SIGVTALRM: return "SIGVTALRM";
        case SIGPROF: return "SIGPROF";
        case SIGXCPU: return "SIGXCPU (the CPU time limit)";
        case SIGXFSZ: return "SIGXFSZ (the file size limit)";
        default: return "a signal";
    }
}

// The signal hold on POSIX systems (see SignalHold.h).
#include "SignalHold.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <span>

#include "SgSystem.h"  // the signals the drive's guard gives it back on: the same ones are held

namespace {

// Every signal that would end the process but SIGPIPE, which the program ignores: any one of them
// would cut the write short.
constexpr int kHeldCount = static_cast<int>(std::size(kEndingSignals)) - 1;
static_assert(kEndingSignals[kHeldCount] == SIGPIPE);
constexpr std::span<const int, kHeldCount> kHeld{kEndingSignals, kHeldCount};

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

// The note's lines, made before its handler is installed: the handler only writes and raises.
struct Note {
    char lines[kHeldCount][256];
    size_t lengths[kHeldCount];
    struct sigaction previous[kHeldCount];
    bool installed[kHeldCount];
} note;

extern "C" void NoteAndEnd(int signal) {
    for (int i = 0; i < kHeldCount; ++i) {
        if (kHeld[i] != signal) continue;
        Tell(note.lines[i], note.lengths[i]);
        // Blocked until this handler returns; then it acts as it did before the note.
        sigaction(signal, &note.previous[i], nullptr);
        raise(signal);
    }
}

}  // namespace

SignalNote::SignalNote(const char* what) {
    struct sigaction action = {};
    action.sa_handler = NoteAndEnd;
    sigfillset(&action.sa_mask);
    for (int i = 0; i < kHeldCount; ++i) {
        const int length = snprintf(note.lines[i], sizeof note.lines[i], "updater: %s %s\n", HeldSignalName(kHeld[i]), what);
        note.lengths[i] = length < 0 ? 0 : std::min(static_cast<size_t>(length), sizeof note.lines[i] - 1);
        sigaction(kHeld[i], nullptr, &note.previous[i]);
        // A background job's ignored SIGINT stays ignored.
        note.installed[i] = (note.previous[i].sa_flags & SA_SIGINFO) != 0 || note.previous[i].sa_handler != SIG_IGN;
        if (note.installed[i]) sigaction(kHeld[i], &action, nullptr);
    }
}

SignalNote::~SignalNote() {
    for (int i = 0; i < kHeldCount; ++i)
        if (note.installed[i]) sigaction(kHeld[i], &note.previous[i], nullptr);
}

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

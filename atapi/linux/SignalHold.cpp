#include "SignalHold.h"

#include <unistd.h>

namespace {

constexpr int kHeld[3] = {SIGINT, SIGTERM, SIGHUP};

// Only what a handler may touch: sig_atomic_t flags and write().
volatile sig_atomic_t firstSignal = 0;
volatile sig_atomic_t told = 0;
int depth = 0;

extern "C" void Hold(int signal) {
    if (firstSignal == 0) firstSignal = signal;
    if (!told) {
        told = 1;
        const ssize_t ignored = ::write(STDERR_FILENO, kSignalHoldMessage, sizeof kSignalHoldMessage - 1);
        (void)ignored;
    }
}

}  // namespace

struct SignalHold::Previous {
    struct sigaction action[3];
};

SignalHold::SignalHold() : previous_(std::make_unique<Previous>()) {
    if (depth++ == 0) {
        firstSignal = 0;
        told = 0;
    }
    struct sigaction action = {};
    action.sa_handler = Hold;
    sigemptyset(&action.sa_mask);
    for (int held : kHeld) sigaddset(&action.sa_mask, held);  // one handler at a time: one message
    // Other calls of the write (terminal output, waits) just go on after the handler.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) sigaction(kHeld[i], &action, &previous_->action[i]);
}

SignalHold::~SignalHold() {
    for (int i = 0; i < 3; ++i) sigaction(kHeld[i], &previous_->action[i], nullptr);
    --depth;
}

bool SignalHold::SignalCame() const { return firstSignal != 0; }

int SignalHold::FirstSignal() const { return firstSignal; }

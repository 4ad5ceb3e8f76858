// The signal hold on a Windows console: Ctrl+C, Ctrl+Break and the close,
// log-off and shut-down events are answered as handled while the firmware is written.
// A console has no keyboard stop (Ctrl-Z is a character there), so none is put off.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "SignalHold.h"

namespace {

// The handler runs on a thread of its own.
std::atomic<int> firstSignal{0};
std::atomic<bool> told{false};
int depth = 0;

int SignalOf(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT: return SIGINT;
        case CTRL_BREAK_EVENT: return SIGBREAK;
        default: return SIGTERM;
    }
}

BOOL WINAPI Hold(DWORD event) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, SignalOf(event));
    if (!told.exchange(true)) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), kSignalHoldMessage, sizeof kSignalHoldMessage - 1, &written,
                  nullptr);
    }
    return TRUE;
}

}  // namespace

struct SignalHold::Previous {};

SignalHold::SignalHold() {
    if (depth++ == 0) {
        firstSignal = 0;
        told = false;
    }
    SetConsoleCtrlHandler(Hold, TRUE);
}

SignalHold::~SignalHold() {
    SetConsoleCtrlHandler(Hold, FALSE);
    --depth;
}

bool SignalHold::SignalCame() const { return firstSignal != 0; }

int SignalHold::FirstSignal() const { return firstSignal; }

const char* HeldSignalName(int signal) {
    switch (signal) {
        case SIGINT: return "Ctrl+C";
        case SIGBREAK: return "Ctrl+Break";
        default: return "a console close, log-off or shut-down event";
    }
}

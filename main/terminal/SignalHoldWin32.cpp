// The signal hold on a Windows console: Ctrl+C, Ctrl+Break and the close,
// log-off and shut-down events are answered as handled while the firmware is written.
// A console has no keyboard stop (Ctrl-Z is a character there), so none is put off.
#include <windows.h>

#include <algorithm>
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

char noteLines[3][256];
DWORD noteLengths[3];

int NoteOf(DWORD event) { return event == CTRL_C_EVENT ? 0 : event == CTRL_BREAK_EVENT ? 1 : 2; }

// Not handled: the next handler, the system's own at last, ends the process.
BOOL WINAPI NoteAndEnd(DWORD event) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), noteLines[NoteOf(event)], noteLengths[NoteOf(event)], &written, nullptr);
    return FALSE;
}

}  // namespace

SignalNote::SignalNote(const char* what) {
    const int signals[3] = {SIGINT, SIGBREAK, SIGTERM};
    for (int i = 0; i < 3; ++i) {
        const int length = std::snprintf(noteLines[i], sizeof noteLines[i], "updater: %s %s\n",
                                         HeldSignalName(signals[i]), what);
        noteLengths[i] = length < 0 ? 0 : static_cast<DWORD>(std::min<size_t>(length, sizeof noteLines[i] - 1));
    }
    SetConsoleCtrlHandler(NoteAndEnd, TRUE);
}

SignalNote::~SignalNote() { SetConsoleCtrlHandler(NoteAndEnd, FALSE); }

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

// While a SignalHold lives, SIGINT, SIGQUIT, SIGTERM, SIGHUP and the other signals
// that would end the process (USR1, USR2, ALRM, VTALRM, PROF, XCPU, XFSZ) do not end
// it: the first one that comes writes a line to standard error saying that the
// firmware write is in progress and must not be interrupted, and every one
// is remembered so that the program can stop with a failure once the write is
// over. A stop from the keyboard (SIGTSTP) is put off: it is told once and
// takes effect when the outermost hold ends; SIGTTOU is ignored meanwhile, so
// that output to the terminal cannot stop the process either. The previous
// handlers come back when the hold ends.
//
// Holds may nest; they share one record of what came, kept from the outermost one on.
// On Windows the console's Ctrl+C, Ctrl+Break and close events are held the same
// way (SignalHoldWin32.cpp); a close still ends the process once its grace time is over.
#pragma once

#include <signal.h>

#include <memory>

inline constexpr const char kSignalHoldMessage[] =
    "The firmware write is in progress and must not be interrupted.\n";
inline constexpr const char kStopHoldMessage[] =
    "The firmware write is in progress: the program stops once every page is written.\n";

class SignalHold {
public:
    SignalHold();
    ~SignalHold();
    SignalHold(const SignalHold&) = delete;
    SignalHold& operator=(const SignalHold&) = delete;

    bool SignalCame() const;
    int FirstSignal() const;  // the number of the first signal that came, 0 when none

private:
    struct Previous;  // the handlers that come back when the hold ends
    std::unique_ptr<Previous> previous_;
};

// While a SignalNote lives, a signal that would end the process (SIGINT, SIGQUIT, SIGTERM,
// SIGHUP; on Windows the console's Ctrl+C, Ctrl+Break and close events) first writes one line
// to standard error: "updater: ", the signal's name, then `what` (at most 160 bytes); then it
// ends the process as it would have, through whatever handler was there before. A signal that
// is ignored stays ignored. For the time the program waits at a question, before any page.
class SignalNote {
public:
    explicit SignalNote(const char* what);
    ~SignalNote();
    SignalNote(const SignalNote&) = delete;
    SignalNote& operator=(const SignalNote&) = delete;
};

// How the user would know a held signal: its name and the key that sends it.
const char* HeldSignalName(int signal);

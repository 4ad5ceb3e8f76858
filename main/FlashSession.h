// Holds the window in its writing state for as long as it lives: Start and the
// drive list disabled, closing refused, the system kept awake and a shutdown
// blocked. Everything is released on every way out of the page loop.
#pragma once

#include "MainWindowUi.h"

class FlashSession {
public:
    explicit FlashSession(MainWindowUi& window) : window_(window) {
        window_.SetControlsEnabled(false);
        window_.SetCloseAllowed(false);
        window_.SetKeepAwake(true);
        window_.SetShutdownBlocked(true);
    }
    ~FlashSession() {
        window_.SetShutdownBlocked(false);
        window_.SetKeepAwake(false);
        window_.SetCloseAllowed(true);
        window_.SetControlsEnabled(true);
    }
    FlashSession(const FlashSession&) = delete;
    FlashSession& operator=(const FlashSession&) = delete;

private:
    MainWindowUi& window_;
};

// Holds the window in its writing state for as long as it lives, and releases it
// on every way out of the page loop.
#pragma once

#include "MainWindowUi.h"

class FlashSession {
public:
    explicit FlashSession(MainWindowUi& window) : window_(window) { window_.SetWriting(true); }
    ~FlashSession() { window_.SetWriting(false); }
    FlashSession(const FlashSession&) = delete;
    FlashSession& operator=(const FlashSession&) = delete;

private:
    MainWindowUi& window_;
};

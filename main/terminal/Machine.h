// The computer's own state that the terminal updater reads, per platform.
#pragma once

#include <cstdint>

#include "MainWindowUi.h"

struct UpdaterStreams;

// What the computer runs on, as this platform tells it.
ui::PowerStatus MachinePower(const UpdaterStreams& s);
// Sleeps for real.
void SleepMilliseconds(uint32_t milliseconds);

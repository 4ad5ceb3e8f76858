// Keeping the system awake and blocking a shutdown while the drive is written,
// and what the computer runs on. The first two calls are looked up at run
// time: the program also starts on systems that lack them, and then goes on
// without.
#pragma once

#include <windows.h>

#include "MainWindowUi.h"

void KeepSystemAwake(bool on);
void BlockShutdown(HWND window, bool on, const char* reason);

// What the computer runs on now (GetSystemPowerStatus, present on every Windows).
ui::PowerStatus SystemPower();

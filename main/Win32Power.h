// Keeping the system awake and blocking a shutdown while the drive is written.
// Both calls are looked up at run time: the program also starts on systems
// that lack them, and then goes on without.
#pragma once

#include <windows.h>

void KeepSystemAwake(bool on);
void BlockShutdown(HWND window, bool on, const char* reason);

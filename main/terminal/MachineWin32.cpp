// Kept apart from the rest of the console program: <windows.h> renames the
// drive layer's GetDriveType.
#include <windows.h>

#include "Machine.h"
#include "Win32Power.h"

ui::PowerStatus MachinePower(const UpdaterStreams&) { return SystemPower(); }

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

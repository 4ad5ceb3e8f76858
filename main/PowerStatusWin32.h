// The fields of the system's SYSTEM_POWER_STATUS read as what the computer
// runs on. A pure function, so that it is tried on any build.
#pragma once

#include <cstdint>

#include "MainWindowUi.h"

// acLineStatus 0 offline, 1 online, 255 unknown; batteryFlag 128 no system battery,
// 255 unknown; batteryLifePercent 0 to 100, 255 unknown.
ui::PowerStatus PowerFromSystemStatus(uint8_t acLineStatus, uint8_t batteryFlag, uint8_t batteryLifePercent);

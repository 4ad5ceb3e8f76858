// What the computer runs on, as the kernel's power-supply class in sysfs says.
#pragma once

#include <string>

#include "MainWindowUi.h"

// classDir: the class folder, /sys/class/power_supply on a running system.
ui::PowerStatus ReadPowerSupply(const std::string& classDir);

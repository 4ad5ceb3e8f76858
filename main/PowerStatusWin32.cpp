#include "PowerStatusWin32.h"

namespace {
constexpr uint8_t kUnknown = 255;
constexpr uint8_t kNoSystemBattery = 128;
}  // namespace

ui::PowerStatus PowerFromSystemStatus(uint8_t acLineStatus, uint8_t batteryFlag, uint8_t batteryLifePercent) {
    ui::PowerStatus status;
    if (batteryFlag != kUnknown && (batteryFlag & kNoSystemBattery) != 0) {
        status.source = ui::PowerSource::NoBattery;
    } else if (acLineStatus == 1) {
        status.source = ui::PowerSource::Mains;
    } else if (acLineStatus == 0 && batteryFlag != kUnknown) {
        status.source = ui::PowerSource::Battery;
        status.percent = batteryLifePercent <= 100 ? batteryLifePercent : -1;
    }
    return status;
}

#include "PowerSupplyLinux.h"

#include <filesystem>
#include <fstream>

namespace {

// The attribute's first line; empty when it cannot be read.
std::string Attribute(const std::filesystem::path& supply, const char* name) {
    std::ifstream file(supply / name);
    std::string line;
    std::getline(file, line);
    return line;
}

}  // namespace

ui::PowerStatus ReadPowerSupply(const std::string& classDir) {
    std::error_code error;
    std::filesystem::directory_iterator entries(classDir, error);
    if (error) return {};
    bool mainsOnline = false, anyBattery = false, discharging = false, charger = false, charge = true;
    int percentSum = 0, batteries = 0;
    for (const auto& entry : entries) {
        const std::filesystem::path supply = entry.path();
        const std::string type = Attribute(supply, "type");
        if (type != "Battery") {
            if (Attribute(supply, "online") == "1") mainsOnline = true;
            continue;
        }
        // The battery of a mouse or a headset says nothing about the computer's.
        if (Attribute(supply, "scope") == "Device") continue;
        anyBattery = true;
        const std::string status = Attribute(supply, "status");
        if (status == "Discharging") discharging = true;
        if (status == "Charging" || status == "Full" || status == "Not charging") charger = true;
        const std::string capacity = Attribute(supply, "capacity");
        if (capacity.empty() || capacity.size() > 3 || capacity.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(capacity) > 100) {
            charge = false;
        } else {
            percentSum += std::stoi(capacity);
            ++batteries;
        }
    }
    ui::PowerStatus power;
    if (!anyBattery) {
        power.source = ui::PowerSource::NoBattery;
    } else if (mainsOnline) {
        power.source = ui::PowerSource::Mains;
    } else if (discharging) {
        power.source = ui::PowerSource::Battery;
        // Two batteries drain one after the other: their mean is what is left of the whole.
        power.percent = charge && batteries > 0 ? percentSum / batteries : -1;
    } else if (charger) {
        power.source = ui::PowerSource::Mains;
    }
    return power;
}

// What the computer runs on, read from a power-supply class folder laid out as sysfs does.
#include <gtest/gtest.h>

#include <map>

#include "Capture.h"
#include "PowerSupplyLinux.h"
#include "TempDir.h"
#include "Updater.h"
#include "VirtualDrive.h"

namespace {

void Supply(const TempDir& dir, const std::string& name, std::map<std::string, std::string> attributes) {
    for (const auto& [attribute, value] : attributes) dir.Write("class/power_supply/" + name + "/" + attribute, value + "\n");
}

using Attributes = std::map<std::string, std::string>;
const Attributes kMains = {{"type", "Mains"}, {"online", "1"}}, kMainsOff = {{"type", "Mains"}, {"online", "0"}};
Attributes Battery(const std::string& status, const std::string& capacity) {
    return {{"type", "Battery"}, {"status", status}, {"capacity", capacity}};
}

TEST(PowerSupply, TheFourStatesAndWhatDoesNotCount) {
    struct Case {
        const char* what;
        std::map<std::string, Attributes> supplies;  // none: no power-supply folder at all
        ui::PowerSource source;
        int percent;
    };
    const Case cases[] = {
        {"no power-supply folder", {}, ui::PowerSource::Unknown, -1},
        {"a desktop: its mains supply, and a mouse's battery",
         {{"ACAD", kMains}, {"hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"},
                                                  {"capacity", "5"}}}},
         ui::PowerSource::NoBattery, -1},
        {"a battery whose state is not told", {{"BAT0", Battery("Unknown", "10")}}, ui::PowerSource::Unknown, -1},
        {"on the charger", {{"AC", kMains}, {"BAT0", Battery("Discharging", "10")}}, ui::PowerSource::Mains, -1},
        {"charging, no mains supply listed", {{"BAT0", Battery("Charging", "10")}}, ui::PowerSource::Mains, -1},
        {"full, no mains supply listed", {{"BAT0", Battery("Full", "100")}}, ui::PowerSource::Mains, -1},
        {"not charging", {{"AC", kMainsOff}, {"BAT0", Battery("Not charging", "60")}}, ui::PowerSource::Mains, -1},
        {"on the battery at 24 %", {{"AC", kMainsOff}, {"BAT0", Battery("Discharging", "24")}},
         ui::PowerSource::Battery, 24},
        {"two batteries: their mean", {{"BAT0", Battery("Discharging", "80")}, {"BAT1", Battery("Full", "40")}},
         ui::PowerSource::Battery, 60},
        {"charge unreadable", {{"BAT1", Battery("Discharging", "many")}}, ui::PowerSource::Battery, -1},
        {"charge past 100", {{"BAT1", Battery("Discharging", "101")}}, ui::PowerSource::Battery, -1},
        {"charge too long", {{"BAT1", Battery("Discharging", "0050")}}, ui::PowerSource::Battery, -1},
        {"one of two charges unreadable", {{"BAT0", Battery("Discharging", "80")}, {"BAT1", Battery("Discharging", "")}},
         ui::PowerSource::Battery, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const auto& [name, attributes] : c.supplies) Supply(dir, name, attributes);
        const ui::PowerStatus p = ReadPowerSupply(dir / "class/power_supply");
        EXPECT_EQ(p.source, c.source);
        EXPECT_EQ(p.percent, c.percent);
    }
}

TEST(PowerSupply, TheTerminalRefusesOnALowBatteryBeforeTheLastQuestion) {
    TempDir dir;
    Supply(dir, "BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "12"}});
    CapturedFile out, err, in;
    UpdaterStreams s;
    s.out = out.get();
    s.err = err.get();
    s.in = in.get();
    s.sysfsRoot = dir.Path().string();
    int pages = -1;
    s.simulatedDriveDone = [&pages](const VirtualDrive& drive) { pages = drive.PagesWritten(); };
    EXPECT_EQ(RunUpdater({"flash", "--simulate", "--yes"}, s), kExitRefused);
    EXPECT_EQ(pages, 0);
    EXPECT_NE(err.Text().find("updater: The computer runs on its battery with 12 % charge left"), std::string::npos)
        << err.Text();
    EXPECT_EQ(out.Text().find("Flash Now!"), std::string::npos) << out.Text();
}

}  // namespace

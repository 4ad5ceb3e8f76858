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

TEST(PowerSupply, TheFourStatesAndWhatDoesNotCount) {
    {
        SCOPED_TRACE("no battery: a desktop, its mains supply and a mouse's battery");
        TempDir dir;
        Supply(dir, "ACAD", {{"type", "Mains"}, {"online", "1"}});
        Supply(dir, "hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"},
                                        {"capacity", "5"}});
        const ui::PowerStatus p = ReadPowerSupply(dir / "class/power_supply");
        EXPECT_EQ(p.source, ui::PowerSource::NoBattery);
    }
    {
        SCOPED_TRACE("no power-supply folder at all");
        TempDir dir;
        EXPECT_EQ(ReadPowerSupply(dir / "class/power_supply").source, ui::PowerSource::Unknown);
    }
    {
        SCOPED_TRACE("a battery whose state is not told");
        TempDir dir;
        Supply(dir, "BAT0", {{"type", "Battery"}, {"status", "Unknown"}, {"capacity", "10"}});
        EXPECT_EQ(ReadPowerSupply(dir / "class/power_supply").source, ui::PowerSource::Unknown);
    }
    {
        SCOPED_TRACE("on the charger");
        TempDir dir;
        Supply(dir, "AC", {{"type", "Mains"}, {"online", "1"}});
        Supply(dir, "BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "10"}});
        EXPECT_EQ(ReadPowerSupply(dir / "class/power_supply").source, ui::PowerSource::Mains);
    }
    for (const char* capacity : {"24", "80"}) {
        SCOPED_TRACE(std::string("on the battery at ") + capacity + " %");
        TempDir dir;
        Supply(dir, "AC", {{"type", "Mains"}, {"online", "0"}});
        Supply(dir, "BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", capacity}});
        const ui::PowerStatus p = ReadPowerSupply(dir / "class/power_supply");
        EXPECT_EQ(p.source, ui::PowerSource::Battery);
        EXPECT_EQ(p.percent, std::stoi(capacity));
    }
    {
        SCOPED_TRACE("on the battery, its charge unreadable");
        TempDir dir;
        Supply(dir, "BAT1", {{"type", "Battery"}, {"status", "Discharging"}, {"capacity", "many"}});
        const ui::PowerStatus p = ReadPowerSupply(dir / "class/power_supply");
        EXPECT_EQ(p.source, ui::PowerSource::Battery);
        EXPECT_EQ(p.percent, -1);
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

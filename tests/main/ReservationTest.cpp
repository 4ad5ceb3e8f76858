// The drive kept to the updater from before the identity query until after the last
// command, on the handle that sends them, and given back on every way out.
#include <functional>

#include "MainFixture.h"
#include "MainTexts.h"

namespace {

using Reserve = MainFixture;

// The start-up INQUIRY goes to the drive as handle 0x100, the first one opened.
const std::string kHandle = std::to_string(0x100);

// The drive events after start-up.
std::vector<std::string> EventsSince(const FakeOs& os, size_t from) {
    return {os.driveEvents.begin() + static_cast<long>(from), os.driveEvents.end()};
}

struct WayOut {
    const char* name;
    std::function<void(VirtualDriveConfig&)> before;            // before start-up
    std::function<void(ScriptedWindow&, VirtualDrive&)> after;  // after start-up
    std::vector<std::string> boxes;
};

class EveryWayOut : public Reserve, public ::testing::WithParamInterface<WayOut> {};

TEST_P(EveryWayOut, TheLockComesFirstAndGoesAfterTheLastCommand) {
    const WayOut& way = GetParam();
    VirtualDriveConfig config;
    if (way.before) way.before(config);
    VirtualDrive& drive = Drive('D', config);
    Start();
    if (way.after) way.after(window, drive);
    const size_t from = os.driveEvents.size();
    form->btnStartClick();

    EXPECT_EQ(BoxCaptions(), way.boxes);
    EXPECT_TRUE(window.ScriptUsedUp());
    const auto events = EventsSince(os, from);
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front(), "lock " + kHandle + " Drive_Firmware_Updater");
    EXPECT_EQ(events[1], "command " + kHandle + " 5A");
    EXPECT_EQ(events[2], "command " + kHandle + " 12");
    EXPECT_EQ(events.back(), "unlock " + kHandle);
    // Every command between went to the locked handle.
    for (size_t i = 1; i + 1 < events.size(); ++i) EXPECT_EQ(events[i].rfind("command " + kHandle, 0), 0u) << i;
    EXPECT_TRUE(os.locks.empty());
    EXPECT_EQ(std::count(window.log.begin(), window.log.end(), text::kNotReserved), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reservation, EveryWayOut,
    ::testing::Values(
        WayOut{"success", nullptr, [](ScriptedWindow& w, VirtualDrive&) { w.Answer("Caution!", ui::kIdOk); },
               {"Caution!", "Yes!"}},
        WayOut{"drive_name", [](VirtualDriveConfig& c) { c.vendorProduct = "OTHR    DVD-RW KX4800   "; },
               nullptr, {"Error"}},
        WayOut{"hardware_id",
               [](VirtualDriveConfig& c) { c.hardwareId[0] = c.inquiry38 = 'Z'; }, nullptr, {"Error"}},
        WayOut{"newer_no", [](VirtualDriveConfig& c) { c.revision = "1.10"; },
               [](ScriptedWindow& w, VirtualDrive&) { w.Answer("Caution", ui::kIdNo); }, {"Caution"}},
        WayOut{"battery", nullptr,
               [](ScriptedWindow& w, VirtualDrive&) { w.power = {ui::PowerSource::Battery, 10}; }, {"Error"}},
        WayOut{"cancel", nullptr, [](ScriptedWindow& w, VirtualDrive&) { w.Answer("Caution!", ui::kIdCancel); },
               {"Caution!"}},
        WayOut{"failed_page", nullptr,
               [](ScriptedWindow& w, VirtualDrive& d) {
                   d.FailCommand(0xFD, 2, 2, 3, 0x0C, 0);
                   w.Answer("Caution!", ui::kIdOk);
               },
               {"Caution!", "Error"}}),
    [](const ::testing::TestParamInfo<WayOut>& info) { return std::string(info.param.name); });

TEST_F(Reserve, ADriveAnotherProgramHoldsIsRefusedWithItsNameAndNothingIsSent) {
    VirtualDrive& drive = Drive('D');
    Start();
    os.heldElsewhere['D'] = "Burning_Suite_7";
    const size_t from = os.driveEvents.size();
    form->btnStartClick();

    ASSERT_EQ(BoxCaptions(), std::vector<std::string>{"Error"});
    EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::Refused);
    EXPECT_EQ(window.boxes[0].text, std::string(text::kDriveHeldBefore) + "Burning_Suite_7" + text::kDriveHeldAfter);
    EXPECT_TRUE(SentSinceStart(drive).empty());
    // Asked who holds it; nothing to give back.
    EXPECT_EQ(EventsSince(os, from), std::vector<std::string>{"query " + kHandle});
    EXPECT_TRUE(window.log.empty());

    // A holder that gave no name.
    os.heldElsewhere['D'] = "";
    form->btnStartClick();
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.boxes[1].text, text::kDriveInUse);
    EXPECT_TRUE(SentSinceStart(drive).empty());

    // A name with bytes a box cannot show gets them replaced, not cut at them.
    os.heldElsewhere['D'] = "Burn\x01\x80r";
    form->btnStartClick();
    ASSERT_EQ(window.boxes.size(), 3u);
    EXPECT_EQ(window.boxes[2].text, std::string(text::kDriveHeldBefore) + "Burn??r" + text::kDriveHeldAfter);
}

TEST_F(Reserve, AMountedDiscIsRefusedWithTheAdviceToTakeItOut) {
    VirtualDrive& drive = Drive('D');
    Start();
    os.exclusive = FakeOs::Exclusive::DiscMounted;
    form->btnStartClick();
    ASSERT_EQ(BoxCaptions(), std::vector<std::string>{"Error"});
    EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::Refused);
    EXPECT_EQ(window.boxes[0].text, text::kDiscInDrive);
    EXPECT_NE(window.boxes[0].text.find("Take the disc out"), std::string::npos);
    EXPECT_TRUE(SentSinceStart(drive).empty());
    EXPECT_TRUE(os.locks.empty());
}

TEST_F(Reserve, OnTheAspiPathNothingIsLockedAndTheLineIsLogged) {
    VirtualDrive& drive = AspiDrive(0, 1, 0);
    Start();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    ASSERT_FALSE(window.log.empty());
    EXPECT_EQ(window.log.front(), text::kNotReserved);
    EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), 4u);
    EXPECT_TRUE(os.driveEvents.empty());
}

// Where the drive cannot be kept, the line says so only once the drive has been accepted, just
// before the image's checksum: a drive that is refused leaves the log as it was.
class NotKept : public Reserve, public ::testing::WithParamInterface<WayOut> {};

TEST_P(NotKept, ARefusedDriveLeavesNoLine) {
    const WayOut& way = GetParam();
    VirtualDriveConfig config;
    way.before(config);
    VirtualDrive& drive = AspiDrive(0, 1, 0, config);
    Start();
    if (way.after) way.after(window, drive);
    form->btnStartClick();
    EXPECT_EQ(BoxCaptions(), way.boxes);
    EXPECT_TRUE(window.log.empty());
}

INSTANTIATE_TEST_SUITE_P(
    AspiPath, NotKept,
    ::testing::Values(
        WayOut{"drive_name", [](VirtualDriveConfig& c) { c.vendorProduct = "OTHR    DVD-RW KX4800   "; },
               nullptr, {"Error"}},
        WayOut{"hardware_id", [](VirtualDriveConfig& c) { c.hardwareId[0] = c.inquiry38 = 'Z'; }, nullptr,
               {"Error"}},
        WayOut{"newer_no", [](VirtualDriveConfig& c) { c.revision = "1.10"; },
               [](ScriptedWindow& w, VirtualDrive&) { w.Answer("Caution", ui::kIdNo); }, {"Caution"}}),
    [](const ::testing::TestParamInfo<WayOut>& info) { return std::string(info.param.name); });

}  // namespace

// What the procedure does around the page writes: the power checked before the
// last confirmation, the drive asked again for its version after the last page.
#include <algorithm>

#include "MainFixture.h"
#include "MainTexts.h"
#include "PowerStatusWin32.h"

namespace {

using PowerCheck = MainFixture;
using ReadBackTest = MainFixture;

constexpr uint8_t kInquiryCode = 0x12;
// INQUIRY reaches a drive once at start-up and once in the drive check; then come the pages.
constexpr int kFirstInquiryAfterPages = 3;

int Inquiries(const std::vector<VirtualDrive::Received>& sent) {
    return static_cast<int>(
        std::count_if(sent.begin(), sent.end(), [](const auto& c) { return c.cdb[0] == kInquiryCode; }));
}

TEST_F(PowerCheck, ALowBatteryRefusesBeforeTheLastQuestionAndMoreChargeIsOnlyAdvised) {
    VirtualDrive& drive = Drive('D');
    Start();
    const std::string checksumLine = RunLog(image).front();

    window.power = {ui::PowerSource::Battery, 24};
    form->btnStartClick();
    ASSERT_EQ(BoxCaptions(), std::vector<std::string>{"Error"});
    EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::BatteryLow);
    EXPECT_EQ(window.boxes[0].text, std::string(text::kBatteryLowBefore) + "24" + text::kBatteryLowAfter);
    EXPECT_NE(window.boxes[0].text.find("Connect the charger"), std::string::npos);
    EXPECT_EQ(SentSinceStart(drive).size(), 2u) << "more than the drive check was sent";
    EXPECT_EQ(window.log, std::vector<std::string>{checksumLine});
    EXPECT_FALSE(window.writing);

    // 25 % and more, or a charge the system does not know: one line of advice, then the flash.
    for (int percent : {25, -1}) {
        window.power = {ui::PowerSource::Battery, percent};
        window.log.clear();
        window.boxes.clear();
        window.Answer("Caution!", ui::kIdOk);
        form->btnStartClick();
        auto lines = RunLog(image);
        lines.insert(lines.begin() + 1, text::kOnBattery);
        EXPECT_EQ(window.log, lines) << percent << " %";
        EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
    }
    // The charger connected, no battery, or nothing known: no word about power.
    for (ui::PowerSource source : {ui::PowerSource::Mains, ui::PowerSource::NoBattery, ui::PowerSource::Unknown}) {
        window.power = {source, 10};
        window.log.clear();
        window.boxes.clear();
        window.Answer("Caution!", ui::kIdOk);
        form->btnStartClick();
        EXPECT_EQ(window.log, RunLog(image)) << static_cast<int>(source);
    }
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), 5u * 4u);
}

TEST(PowerStatusWin32, TheSystemsFieldsGiveTheFourStates) {
    // ACLineStatus, BatteryFlag, BatteryLifePercent as GetSystemPowerStatus fills them.
    const ui::PowerStatus noBattery = PowerFromSystemStatus(1, 128, 255);
    EXPECT_EQ(noBattery.source, ui::PowerSource::NoBattery);
    EXPECT_EQ(PowerFromSystemStatus(255, 255, 255).source, ui::PowerSource::Unknown);
    EXPECT_EQ(PowerFromSystemStatus(0, 255, 40).source, ui::PowerSource::Unknown);
    EXPECT_EQ(PowerFromSystemStatus(1, 8, 10).source, ui::PowerSource::Mains);  // charging
    const ui::PowerStatus low = PowerFromSystemStatus(0, 4, 24);               // critical
    EXPECT_EQ(low.source, ui::PowerSource::Battery);
    EXPECT_EQ(low.percent, 24);
    const ui::PowerStatus unknownCharge = PowerFromSystemStatus(0, 1, 255);
    EXPECT_EQ(unknownCharge.source, ui::PowerSource::Battery);
    EXPECT_EQ(unknownCharge.percent, -1);
}

TEST_F(ReadBackTest, TheDriveIsAskedOnceASecondUntilItAnswersWithTheNewVersion) {
    VirtualDriveConfig config;
    config.revision = "1.01";
    config.flashedRevision = "1.02";
    config.flashedAfterPages = 4;
    VirtualDrive& drive = Drive('D', config);
    // Restarting with its new firmware: not ready for three questions.
    for (int n = 0; n < 3; ++n) drive.FailCommand(kInquiryCode, kFirstInquiryAfterPages + n, 2, 2, 0x04, 0x01);
    Start();
    // The drive may still be storing the firmware: the window stays in its writing state meanwhile,
    // and the waits, like the pages, are no modal loop's to hold up.
    bool writingThroughWaits = true;
    window.onWait = [&] { writingThroughWaits = writingThroughWaits && window.writing && window.inWrites; };
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();

    const auto sent = SentSinceStart(drive);
    EXPECT_EQ(Inquiries(sent), 1 + 4);
    EXPECT_EQ(sent.back().cdb[0], kInquiryCode);
    EXPECT_EQ(window.clock, 3000u);
    EXPECT_TRUE(writingThroughWaits);
    EXPECT_FALSE(window.writing);
    EXPECT_EQ(window.log, RunLog(image));
    EXPECT_EQ(form->LastReadBack, ReadBack::Confirmed);
    EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
}

// Each way of not confirming the version: its lines, the advice, and no success box.
struct Unconfirmed : MainFixture {
    void Flash() {
        Start();
        window.Answer("Caution!", ui::kIdOk);
        form->btnStartClick();
    }
    void ExpectLog(std::vector<std::string> tail) {
        std::vector<std::string> lines = RunLog(image);
        lines.resize(lines.size() - 2);
        lines.insert(lines.end(), tail.begin(), tail.end());
        lines.push_back(text::kTurnOffAndOn);
        EXPECT_EQ(window.log, lines);
        ASSERT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Caution"}));
        EXPECT_EQ(window.boxes[1].kind, ui::BoxKind::Unconfirmed);
        EXPECT_EQ(window.boxes[1].text, text::kUnconfirmed);
        EXPECT_FALSE(window.writing);
    }
};

TEST_F(Unconfirmed, ADriveThatKeepsItsOldVersion) {
    VirtualDriveConfig config;
    config.revision = "1.01";
    VirtualDrive& drive = Drive('D', config);
    Flash();
    ExpectLog({"Drive firmware version now: 1.01", text::kOtherVersion});
    EXPECT_EQ(form->LastReadBack, ReadBack::OtherVersion);
    EXPECT_EQ(Inquiries(SentSinceStart(drive)), 2);
}

TEST_F(Unconfirmed, ADriveThatNeverAnswersIsAskedForSixtySeconds) {
    VirtualDrive& drive = Drive('D');
    for (int n = 0; n < 200; ++n) drive.FailCommand(kInquiryCode, kFirstInquiryAfterPages + n, 2, 2, 0x04, 0x01);
    Flash();
    ExpectLog({"The drive did not answer within 60 seconds."});
    EXPECT_EQ(form->LastReadBack, ReadBack::NoAnswer);
    // Asked at 0, 1, ... 60 seconds.
    EXPECT_EQ(Inquiries(SentSinceStart(drive)), 1 + 61);
    EXPECT_EQ(window.clock, 60000u);
}

TEST_F(Unconfirmed, AClockThatStandsStillStillEndsTheAsking) {
    VirtualDrive& drive = Drive('D');
    for (int n = 0; n < 200; ++n) drive.FailCommand(kInquiryCode, kFirstInquiryAfterPages + n, 2, 2, 0x04, 0x01);
    window.onWait = [&] { window.clock = 0; };
    Flash();
    EXPECT_EQ(form->LastReadBack, ReadBack::NoAnswer);
    EXPECT_EQ(Inquiries(SentSinceStart(drive)), 1 + 61);
}

TEST_F(Unconfirmed, AQuestionTheSystemCannotDeliverIsNotRepeated) {
    Drive('D');
    // Start-up's INQUIRY, the drive check's two commands, four pages, then the question.
    os.FailIoctl(8, 55);
    Flash();
    ExpectLog({text::kNotAsked});
    EXPECT_EQ(form->LastReadBack, ReadBack::NoAnswer);
    EXPECT_EQ(os.messageBoxes.size(), 1u) << "the system's text shown once, not once a second";
    EXPECT_EQ(window.clock, 0u);
}

}  // namespace

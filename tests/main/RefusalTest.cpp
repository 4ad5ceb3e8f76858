// The flash procedure's refusals and its handling of failed page writes.
#include <cstring>

#include "MainFixture.h"
#include "MainTexts.h"

namespace {

struct Refusal : MainFixture {
    // Start refused before anything is sent: one error box, no log line of the
    // procedure, the progress bar untouched.
    void ExpectRefusedBeforeSending(const VirtualDrive* drive, const char* text,
                                    const std::vector<std::string>& startLog = {}) {
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].caption, "Error");
        EXPECT_EQ(window.boxes[0].text, text);
        EXPECT_EQ(window.boxes[0].flags, ui::kOk);
        EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::Refused);
        EXPECT_EQ(window.log, startLog);
        EXPECT_EQ(window.progressMax, 100u);
        EXPECT_EQ(window.progressPosition, 0u);
        if (drive) {
            EXPECT_TRUE(SentSinceStart(*drive).empty());
        }
    }
};

TEST_F(Refusal, AContainerThatDidNotLoad) {
    VirtualDrive& drive = Drive('D');
    Start(std::vector<uint8_t>(300, 0));
    form->btnStartClick();
    ExpectRefusedBeforeSending(&drive, text::kNoContainer);
}

TEST_F(Refusal, AnImageWithoutDriveNameAndVersion) {
    VirtualDrive& drive = Drive('D');
    testimage::Shape shape;
    shape.inquiryBlock = false;
    Start(shape);
    form->btnStartClick();
    ExpectRefusedBeforeSending(&drive, text::kNoDriveName);
}

TEST_F(Refusal, AnImageWithoutHardwareId) {
    VirtualDrive& drive = Drive('D');
    image = testimage::Image({});
    // A second identity block makes the hardware ID ambiguous, hence absent.
    std::memcpy(&image[0x2000], &image[0x300], 20);
    Start(testimage::Container(image));
    ASSERT_EQ(form->ImageHardwareID, nullptr);
    form->btnStartClick();
    ExpectRefusedBeforeSending(&drive, text::kNoHardwareId);
}

TEST_F(Refusal, AStoredChecksumThatDiffersKeepsItsLogLineAndSendsNothing) {
    VirtualDrive& drive = Drive('D');
    image = testimage::Image({});
    auto bytes = testimage::Container(image);
    testimage::SetStoredChecksum(bytes, static_cast<uint16_t>(Sum(image.data(), image.size()) ^ 0x8000));
    Start(bytes);
    form->btnStartClick();
    ExpectRefusedBeforeSending(&drive, text::kChecksumRefused, {"Check Sum error !"});
}

TEST_F(Refusal, AnImageThatIsNotAWholeNumberOfPages) {
    VirtualDrive& drive = Drive('D');
    testimage::Shape shape;
    shape.bankSize = 0x1000;
    shape.length = 5 * 0x1000;  // a page and a quarter
    Start(shape);
    ASSERT_NE(form->Image.data, nullptr);
    form->btnStartClick();
    ExpectRefusedBeforeSending(&drive, text::kNotWholePages);
}

TEST_F(Refusal, NoDriveListed) {
    Start();
    form->btnStartClick();
    ExpectRefusedBeforeSending(nullptr, text::kNoDriveSelected);
    EXPECT_TRUE(os.ioctlHandles.empty());
}

TEST_F(Refusal, NoItemSelected) {
    VirtualDrive& drive = Drive('D');
    Start();
    window.selected = -1;  // text typed into the edit field
    form->btnStartClick();
    ExpectRefusedBeforeSending(&drive, text::kNoDriveSelected);
}

// --- the drive's identity

struct DriveCheck : MainFixture {
    // Runs Start and expects the refusal with this text after the two queries.
    void ExpectRefused(const VirtualDrive& drive, ui::BoxKind kind, const char* text) {
        form->btnStartClick();
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].caption, "Error");
        EXPECT_EQ(window.boxes[0].text, text);
        EXPECT_EQ(window.boxes[0].flags, ui::kOk);
        EXPECT_EQ(window.boxes[0].kind, kind);
        EXPECT_TRUE(window.log.empty());
        EXPECT_EQ(window.progressMax, 100u);
        const auto sent = SentSinceStart(drive);
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[0].cdb[0], 0x5A);
        EXPECT_EQ(sent[1].cdb[0], 0x12);
    }
    void ExpectFlashed(const VirtualDrive& drive) {
        window.Answer("Caution!", ui::kIdOk);
        form->btnStartClick();
        EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
        EXPECT_EQ(drive.AssembledImage(), image);
    }
};

TEST_F(DriveCheck, ADriveNameThatDiffersOnlyInCase) {
    VirtualDriveConfig config;
    config.vendorProduct = "VELD    DVD-RW kx4800   ";
    VirtualDrive& drive = Drive('D', config);
    Start();
    ExpectRefused(drive, ui::BoxKind::DriveNameMismatch, "Drive name does not match!");
}

TEST_F(DriveCheck, ADriveNameThatDiffersOnlyInTrailingSpaces) {
    testimage::Shape shape;
    shape.driveName = std::string("VELD    DVD-RW KX4800 \0\0", 24);  // the text ends after one space
    VirtualDrive& drive = Drive('D');
    Start(shape);
    ExpectRefused(drive, ui::BoxKind::DriveNameMismatch, "Drive name does not match!");
}

TEST_F(DriveCheck, TheIdentityReplyDecidesTheHardwareIdWhenItCarriesTheSignature) {
    VirtualDriveConfig config;
    config.hardwareId[0] = 'Z';
    config.hardwareId[1] = '9';  // INQUIRY bytes 38 and 39 still say K4
    VirtualDrive& drive = Drive('D', config);
    Start();
    ExpectRefused(drive, ui::BoxKind::HardwareIdMismatch, "Hardware ID does not match!");
}

TEST_F(DriveCheck, TheReplysHardwareIdIsTakenOverTheInquiryBytes) {
    VirtualDriveConfig config;
    config.inquiry38 = 'Z';
    config.inquiry39 = '9';
    VirtualDrive& drive = Drive('D', config);
    Start();
    ExpectFlashed(drive);
}

TEST_F(DriveCheck, WithoutTheSignatureTheInquiryBytesDecide) {
    VirtualDriveConfig accepted;
    accepted.identitySignature = false;
    accepted.hardwareId[0] = 'Z';  // not looked at without the signature
    VirtualDrive& drive = Drive('D', accepted);
    Start();
    ExpectFlashed(drive);
}

TEST_F(DriveCheck, WithoutTheSignatureOtherInquiryBytesAreRefused) {
    VirtualDriveConfig refused;
    refused.identitySignature = false;
    refused.inquiry39 = '5';
    VirtualDrive& drive = Drive('D', refused);
    Start();
    ExpectRefused(drive, ui::BoxKind::HardwareIdMismatch, "Hardware ID does not match!");
}

// --- the version question

struct VersionCase {
    const char* drive;
    const char* image;
    bool asks;
};

class VersionQuestion : public MainFixture, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionQuestion, AsksOnlyWhenTheDriveCarriesTheGreaterNumber) {
    VirtualDriveConfig config;
    config.revision = GetParam().drive;
    config.flashedRevision = GetParam().image;
    config.flashedAfterPages = 4;
    VirtualDrive& drive = Drive('D', config);
    testimage::Shape shape;
    shape.version = GetParam().image;
    Start(shape);
    if (GetParam().asks) window.Answer("Caution", ui::kIdYes);
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    std::vector<std::string> expected{"Caution!", "Yes!"};
    if (GetParam().asks) expected.insert(expected.begin(), "Caution");
    EXPECT_EQ(BoxCaptions(), expected);
    if (GetParam().asks) {
        EXPECT_EQ(window.boxes[0].text, "Drive firmware version is new, are you sure to continue?");
        EXPECT_EQ(window.boxes[0].flags, ui::kYesNo);
        EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::DriveVersionNewer);
    }
    EXPECT_EQ(drive.AssembledImage(), image);
}

INSTANTIATE_TEST_SUITE_P(Revisions, VersionQuestion,
                         ::testing::Values(VersionCase{"1.10", "1.02", true}, VersionCase{"1.02", "1.02", false},
                                           VersionCase{"1.01", "1.02", false}, VersionCase{"1.9 ", "1.10", true},
                                           VersionCase{"V1.0", "1.02", false},
                                           VersionCase{"V1.0", "-1.0", true},
                                           VersionCase{"2e0 ", "1.99", true}));

class VersionRefused : public MainFixture, public ::testing::WithParamInterface<int> {};

TEST_P(VersionRefused, AnyAnswerButYesSendsNoPage) {
    VirtualDriveConfig config;
    config.revision = "1.10";
    VirtualDrive& drive = Drive('D', config);
    Start();
    window.Answer("Caution", GetParam());
    form->btnStartClick();
    EXPECT_EQ(BoxCaptions(), std::vector<std::string>{"Caution"});
    EXPECT_EQ(SentSinceStart(drive).size(), 2u);
    EXPECT_TRUE(window.log.empty());
    EXPECT_EQ(window.progressMax, 100u);
}

// 0: the box failed or went with its window.
INSTANTIATE_TEST_SUITE_P(Answers, VersionRefused, ::testing::Values(ui::kIdNo, ui::kIdCancel, ui::kIdOk, 0));

using ChosenDrive = MainFixture;

TEST_F(ChosenDrive, TheVersionIsTheSelectedDrivesNotTheFirstOnes) {
    VirtualDrive& first = Drive('D');  // 1.02, as the image
    VirtualDriveConfig newer;
    newer.revision = "1.10";
    VirtualDrive& second = Drive('E', newer);
    Start();
    window.SelectDeviceItem(1);
    form->cbbDeviceChange();
    window.Answer("Caution", ui::kIdNo);
    form->btnStartClick();
    ASSERT_EQ(BoxCaptions(), std::vector<std::string>{"Caution"});
    EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::DriveVersionNewer);
    EXPECT_EQ(SentSinceStart(second).size(), 2u);
    EXPECT_TRUE(SentSinceStart(first).empty());
}

// --- page writes that fail

struct PageFailure : MainFixture {
    // The flash stopped at `page`: its line logged, no later page sent.
    void ExpectStoppedAt(const VirtualDrive& drive, uint32_t page, uint32_t received, const std::string& detail) {
        EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), received) << "a page after the failed one was sent";
        auto lines = RunLog(image);
        lines.resize(1 + page);
        // The ASPI manager cannot keep the drive to one program.
        if (os.platformId != kPlatformWin32Nt) lines.insert(lines.begin(), text::kNotReserved);
        EXPECT_EQ(window.log, lines);
        ASSERT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Error"}));
        EXPECT_EQ(window.boxes[1].text, "Writing page " + std::to_string(page) + " of 4 failed.\n" + detail +
                                            ".\n\n" + text::kRunAgain);
        EXPECT_EQ(window.boxes[1].flags, ui::kOk);
        EXPECT_EQ(window.boxes[1].kind, ui::BoxKind::PageFailed);
        EXPECT_EQ(window.progressPosition, page - 1);
        EXPECT_FALSE(window.writing);
    }
};

// With true, the driver writes the sense bytes but leaves their length at 0, as some do:
// the bytes still tell.
class CheckCondition : public PageFailure, public ::testing::WithParamInterface<bool> {};

TEST_P(CheckCondition, StopsTheFlashAndGivesTheSense) {
    VirtualDrive& drive = Drive('D');
    drive.FailCommand(0xFD, 3, 2, 0x03, 0x0C, 0x02);
    os.senseLengthLeftZero = GetParam();
    Start();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    ExpectStoppedAt(drive, 3, 3, "Status 2, sense key 03h, ASC 0Ch, ASCQ 02h");
}

INSTANTIATE_TEST_SUITE_P(SenseLength, CheckCondition, ::testing::Values(false, true));

class ToleratedError : public MainFixture, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ToleratedError, IsLoggedAfterItsPageLineAndTheFlashGoesOn) {
    VirtualDrive& drive = Drive('D');
    os.FailIoctl(5, GetParam(), true);  // page 2 reaches the drive, the call still fails
    Start();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    auto lines = RunLog(image);
    lines.insert(lines.begin() + 3, "Page 2 counted as written despite transport error " + std::to_string(GetParam()));
    EXPECT_EQ(window.log, lines);
    EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
    EXPECT_EQ(drive.AssembledImage(), image);
    EXPECT_TRUE(os.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Errors, ToleratedError, ::testing::Values(121u, 1117u));

}  // namespace

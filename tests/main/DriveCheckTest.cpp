// Start against the drive: identity query, INQUIRY, drive name, hardware ID
// and version rules, and the last confirmation.
#include <gtest/gtest.h>

#include "MainRig.h"
#include "MainTexts.h"

namespace {

using Calls = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const Bytes kIdentityQuery = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
const Bytes kInquiry = {0x12, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// The two queries, exactly as they must go out, and nothing after them.
void ExpectOnlyTheQueries(const MainRig& rig) {
    const auto sent = rig.SentTo(0);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Cdb(sent[0]), kIdentityQuery);
    EXPECT_EQ(sent[0].length, 20u);
    EXPECT_EQ(sent[0].direction, kDirIn);
    EXPECT_EQ(Cdb(sent[1]), kInquiry);
    EXPECT_EQ(sent[1].length, 50u);
    EXPECT_EQ(sent[1].direction, kDirIn);
}

// Accepted drives get as far as the last confirmation, which the test cancels.
bool ReachesConfirmation(MainRig& rig) {
    rig.window.Answer(text::kCautionBang, ui::kIdCancel);
    rig.form->btnStartClick();
    for (const auto& box : rig.window.boxes) {
        if (box.caption == text::kCautionBang) return true;
    }
    return false;
}

void ExpectRefusal(const MainRig& rig, const char* text) {
    ASSERT_EQ(rig.window.boxes.size(), 1u);
    EXPECT_EQ(rig.window.boxes[0].text, text);
    EXPECT_EQ(rig.window.boxes[0].caption, "Error");
    EXPECT_EQ(rig.window.boxes[0].flags, ui::kOk);
    EXPECT_TRUE(rig.window.log.empty());
    for (const auto& call : rig.window.calls) EXPECT_EQ(call.rfind("SetProgress", 0), std::string::npos) << call;
}

TEST(DriveCheck, MatchingDriveIsAskedOnceAndReachesTheConfirmation) {
    MainRig rig;
    rig.AddDrive();
    rig.Start();
    rig.window.calls.clear();
    EXPECT_TRUE(ReachesConfirmation(rig));
    ExpectOnlyTheQueries(rig);

    // Cancel leaves the checksum line and the reset progress bar.
    const std::string checksum = Hex4(GetCheckSum(rig.image.data(), rig.image.size()));
    EXPECT_EQ(rig.window.log, (Calls{"Firmware Checksum : " + checksum}));
    EXPECT_EQ(rig.window.calls, (Calls{"SetProgressPosition 0", "SetProgressMax 4", "AppendLog",
                                       "ShowMessageBox Caution!"}));
    EXPECT_EQ(rig.window.progressPosition, 0u);
    EXPECT_EQ(rig.window.progressMax, 4u);
    EXPECT_EQ(rig.window.boxes[0].text, "Flash Now! Please do not power off!");
    EXPECT_EQ(rig.window.boxes[0].flags, ui::kOkCancel);
    EXPECT_TRUE(rig.window.Idle());
}

struct HardwareIdCase {
    const char* name;
    bool signature;
    std::string replyId;      // identity reply bytes 18, 19
    std::string inquiryId;    // INQUIRY bytes 38, 39
    const char* editedReply;  // when set, replaces reply bytes 0..3 and 16, 17 (6 characters)
    bool accepted;            // the image's hardware ID is K4
};

class HardwareId : public testing::TestWithParam<HardwareIdCase> {};

TEST_P(HardwareId, IsTakenFromTheReplyOnlyWithTheFullSignature) {
    const HardwareIdCase& c = GetParam();
    MainRig rig;
    VirtualDriveConfig config;
    config.identitySignature = c.signature;
    config.hardwareId[0] = static_cast<uint8_t>(c.replyId[0]);
    config.hardwareId[1] = static_cast<uint8_t>(c.replyId[1]);
    config.inquiry38 = static_cast<uint8_t>(c.inquiryId[0]);
    config.inquiry39 = static_cast<uint8_t>(c.inquiryId[1]);
    rig.AddDrive(config);
    if (c.editedReply) {
        const std::string edit = c.editedReply;
        rig.os.editIdentityReply = [edit](uint8_t* reply) {
            std::memcpy(reply, edit.data(), 4);
            reply[16] = static_cast<uint8_t>(edit[4]);
            reply[17] = static_cast<uint8_t>(edit[5]);
        };
    }
    rig.Start();
    EXPECT_EQ(ReachesConfirmation(rig), c.accepted);
    if (!c.accepted) ExpectRefusal(rig, "Hardware ID does not match!");
    ExpectOnlyTheQueries(rig);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HardwareId,
    testing::Values(HardwareIdCase{"SignatureReplyMatches", true, "K4", "XX", nullptr, true},
                    HardwareIdCase{"SignatureReplyDiffers", true, "XX", "K4", nullptr, false},
                    HardwareIdCase{"NoSignatureInquiryMatches", false, "XX", "K4", nullptr, true},
                    HardwareIdCase{"NoSignatureInquiryDiffers", false, "K4", "XX", nullptr, false},
                    HardwareIdCase{"OtherBytesAt16And17", true, "XX", "K4", "KOLAHX", true},
                    HardwareIdCase{"LowerCaseSignature", true, "XX", "K4", "KOLaHW", true},
                    HardwareIdCase{"LowerCaseHW", true, "XX", "K4", "KOLAhW", true},
                    HardwareIdCase{"CaseMatters", true, "k4", "K4", nullptr, false}),
    [](const testing::TestParamInfo<HardwareIdCase>& info) { return info.param.name; });

TEST(DriveCheck, FailedIdentityQueryFallsBackToTheInquiryBytes) {
    for (const char* inquiryId : {"K4", "XX"}) {
        MainRig rig;
        VirtualDriveConfig config;
        config.inquiry38 = static_cast<uint8_t>(inquiryId[0]);
        config.inquiry39 = static_cast<uint8_t>(inquiryId[1]);
        rig.AddDrive(config).FailCommand(0x5A, 1, 2, 5, 0x24, 0);
        rig.Start();
        EXPECT_EQ(ReachesConfirmation(rig), std::string(inquiryId) == "K4") << inquiryId;
        ExpectOnlyTheQueries(rig);
    }
}

TEST(DriveCheck, DriveNameMustMatchByteForByte) {
    const std::string names[] = {
        "veld    DVD-RW KX4800   ",                         // case
        std::string("VELD    DVD-RW KX4800  \0", 24),       // one trailing space fewer
        "VELD    DVD-RW KX4801   ",                         // one character
    };
    for (const std::string& name : names) {
        MainRig rig;
        VirtualDriveConfig config;
        config.vendorProduct = name;
        rig.AddDrive(config);
        rig.Start();
        EXPECT_FALSE(ReachesConfirmation(rig)) << name;
        ExpectRefusal(rig, "Drive name does not match!");
        ExpectOnlyTheQueries(rig);
    }
}

TEST(DriveCheck, FailedInquiryLeavesAnEmptyDriveNameThatDoesNotMatch) {
    MainRig rig;
    VirtualDrive& drive = rig.AddDrive();
    drive.FailCommand(0x12, 2, 2, 2, 0x04, 0x01);  // the first INQUIRY is discovery's
    rig.Start();
    EXPECT_FALSE(ReachesConfirmation(rig));
    ExpectRefusal(rig, "Drive name does not match!");
}

TEST(DriveCheck, DriveNameIsCheckedBeforeTheHardwareId) {
    MainRig rig;
    VirtualDriveConfig config;
    config.vendorProduct = "OTHER";
    config.hardwareId[0] = 'X';
    rig.AddDrive(config);
    rig.Start();
    EXPECT_FALSE(ReachesConfirmation(rig));
    ExpectRefusal(rig, "Drive name does not match!");
}

struct VersionCase {
    const char* name;
    std::string driveRevision;
    std::string imageVersion;
    bool asks;
};

class Version : public testing::TestWithParam<VersionCase> {};

TEST_P(Version, NewerDriveAsksAndOnlyYesGoesOn) {
    const VersionCase& c = GetParam();
    for (int answer : {ui::kIdNo, ui::kIdYes}) {
        MainRig rig;
        testimage::Spec spec;
        spec.version = c.imageVersion;
        rig.UseImage(spec);
        VirtualDriveConfig config;
        config.revision = c.driveRevision;
        rig.AddDrive(config);
        rig.Start();
        if (c.asks) rig.window.Answer(text::kCaution, answer);
        const bool confirmed = ReachesConfirmation(rig);
        ExpectOnlyTheQueries(rig);

        if (!c.asks) {
            EXPECT_TRUE(confirmed);
            EXPECT_EQ(rig.BoxCaptions(), (Calls{"Caution!"}));
            break;
        }
        ASSERT_FALSE(rig.window.boxes.empty());
        EXPECT_EQ(rig.window.boxes[0].text, "Drive firmware version is new, are you sure to continue?");
        EXPECT_EQ(rig.window.boxes[0].flags, ui::kYesNo);
        EXPECT_EQ(confirmed, answer == ui::kIdYes);
        if (answer == ui::kIdNo) {
            EXPECT_EQ(rig.BoxCaptions(), (Calls{"Caution"}));
            EXPECT_TRUE(rig.window.log.empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Version,
    testing::Values(VersionCase{"Newer", "1.10", "1.02", true}, VersionCase{"Equal", "1.02", "1.02", false},
                    VersionCase{"Older", "1.01", "1.02", false},
                    VersionCase{"NumbersNotText", "1.9 ", "1.10", true},
                    VersionCase{"TextAfterTheNumberIgnored", "1.0x", "1.00", false},
                    VersionCase{"SameValueOtherSpelling", "1.20", "1.2x", false},
                    VersionCase{"NoLeadingNumberReadsZero", "V1.0", "1.02", false},
                    VersionCase{"ZeroAgainstNegative", "V1.0", "-1.0", true},
                    VersionCase{"LeadingSpace", " 2.0", "1.02", true}),
    [](const testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

TEST(DriveCheck, VersionComesFromTheSelectedEntry) {
    for (int item : {0, 1}) {
        MainRig rig;
        VirtualDriveConfig newer;
        newer.revision = "1.10";
        rig.AddDrive(newer);
        rig.AddDrive();
        rig.Start();
        rig.window.SelectDeviceItem(item);
        rig.form->cbbDeviceChange();
        if (item == 0) rig.window.Answer(text::kCaution, ui::kIdNo);
        ReachesConfirmation(rig);
        EXPECT_EQ(rig.BoxCaptions()[0], item == 0 ? "Caution" : "Caution!") << item;
        EXPECT_EQ(rig.SentTo(item).size(), 2u);
        EXPECT_TRUE(rig.SentTo(1 - item).empty());
    }
}

TEST(DriveCheck, EachRunStartsFromTheQueriesAgainAndTheLogGrows) {
    MainRig rig;
    rig.AddDrive();
    rig.Start();
    ReachesConfirmation(rig);
    ReachesConfirmation(rig);
    EXPECT_EQ(rig.SentTo(0).size(), 4u);
    ASSERT_EQ(rig.window.log.size(), 2u);
    EXPECT_EQ(rig.window.log[0], rig.window.log[1]);
}

}  // namespace

// The flash procedure: the drive checks, the questions, the page writes.
#include <cstring>
#include <stdexcept>

#include "EmbeddedContainer.h"
#include "MainFixture.h"
#include "MainTexts.h"

namespace {

using Flash = MainFixture;

const uint8_t kIdentityQuery[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
const uint8_t kInquiry[12] = {0x12, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::vector<uint8_t> Cdb(const VirtualDrive::Received& command) {
    return {command.cdb, command.cdb + 12};
}

// The page-write block for page n (from 1) of an image.
std::vector<uint8_t> PageBlock(uint16_t pageSum, uint16_t imageSum, uint32_t page) {
    return {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, static_cast<uint8_t>(pageSum >> 8), static_cast<uint8_t>(pageSum),
            static_cast<uint8_t>(imageSum >> 8), static_cast<uint8_t>(imageSum), static_cast<uint8_t>(page), 0x08};
}

TEST_F(Flash, AMatchingDriveGetsEveryPageInOrder) {
    VirtualDrive& drive = Drive('D');
    Start();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();

    const auto sent = SentSinceStart(drive);
    // The identity query and INQUIRY, the pages, INQUIRY again.
    ASSERT_EQ(sent.size(), 2u + 4u + 1u);
    EXPECT_EQ(Cdb(sent[0]), std::vector<uint8_t>(kIdentityQuery, kIdentityQuery + 12));
    EXPECT_EQ(sent[0].length, 20u);
    EXPECT_EQ(sent[0].direction, kDirIn);
    EXPECT_EQ(Cdb(sent[1]), std::vector<uint8_t>(kInquiry, kInquiry + 12));
    EXPECT_EQ(sent[1].length, 50u);
    EXPECT_EQ(sent[1].direction, kDirIn);
    const uint16_t imageSum = Sum(image.data(), image.size());
    for (uint32_t p = 0; p < 4; ++p) {
        const auto& write = sent[2 + p];
        EXPECT_EQ(Cdb(write), PageBlock(Sum(&image[p * testimage::kPage], testimage::kPage), imageSum, p + 1))
            << "page " << p + 1;
        EXPECT_EQ(write.length, 16384u);
        EXPECT_EQ(write.direction, kDirOut);
    }
    EXPECT_EQ(drive.AssembledImage(), image);
    EXPECT_TRUE(drive.Mismatches().empty()) << drive.Mismatches().front();

    EXPECT_EQ(window.log, RunLog(image));
    EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
    EXPECT_EQ(window.boxes[0].text, "Flash Now! Please do not power off!");
    EXPECT_EQ(window.boxes[0].flags, ui::kOkCancel);
    EXPECT_EQ(window.boxes[0].kind, ui::BoxKind::LastConfirmation);
    EXPECT_EQ(window.boxes[1].text, "Flash Succeed!");
    EXPECT_EQ(window.boxes[1].flags, ui::kOk);
    EXPECT_EQ(window.boxes[1].kind, ui::BoxKind::Succeeded);
    EXPECT_EQ(window.progressMax, 4u);
    EXPECT_EQ(window.progressPosition, 4u);
    EXPECT_FALSE(window.writing);
}

TEST_F(Flash, TheBuiltInImageIsWrittenAsSixtyFourPages) {
    VirtualDrive& drive = Drive('D');
    Start(std::vector<uint8_t>(EmbeddedContainerData(), EmbeddedContainerData() + EmbeddedContainerSize()));
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    const std::vector<uint8_t> loaded(form->Image.data.get(), form->Image.data.get() + form->Image.length);
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), 64u);
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).back().cdb[10], 0x40);
    EXPECT_EQ(drive.AssembledImage(), loaded);
    EXPECT_TRUE(drive.Mismatches().empty());
    EXPECT_EQ(window.log, RunLog(loaded));
    EXPECT_EQ(window.progressPosition, 64u);
    EXPECT_EQ(window.progressMax, 64u);
}

TEST_F(Flash, ProgressIsResetThenCountsEveryPageAndTheWindowIsServedBetweenCommands) {
    VirtualDrive& drive = Drive('D');
    Start();
    std::vector<size_t> sentAtPump;
    std::vector<uint32_t> positionAtPump;
    window.onPump = [&] {
        EXPECT_TRUE(window.writing);
        // Where no modal loop of the Win32 window reaches them.
        EXPECT_TRUE(window.inWrites);
        sentAtPump.push_back(SentSinceStart(drive).size());
        positionAtPump.push_back(window.progressPosition);
    };
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();

    // Identity query and INQUIRY, then one pump after each page write.
    EXPECT_EQ(sentAtPump, (std::vector<size_t>{3, 4, 5, 6}));
    EXPECT_EQ(positionAtPump, (std::vector<uint32_t>{1, 2, 3, 4}));
    const auto& calls = window.calls;
    const auto reset = std::find(calls.begin(), calls.end(), "SetProgressPosition 0");
    ASSERT_NE(reset, calls.end());
    EXPECT_EQ(*(reset + 1), "SetProgressMax 4");
}

TEST_F(Flash, TheWritingStateIsHeldOnlyForThePageLoop) {
    Drive('D');
    Start();
    bool writingAtConfirmation = true;
    window.onBox = [&](const ScriptedWindow::Box& box) {
        if (box.caption == "Caution!") writingAtConfirmation = window.writing;
        if (box.caption == "Yes!") {
            EXPECT_FALSE(window.writing);
        }
    };
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    EXPECT_FALSE(writingAtConfirmation);
    EXPECT_FALSE(window.writing);
    const auto count = [&](const std::string& call) {
        return std::count(window.calls.begin(), window.calls.end(), call);
    };
    EXPECT_EQ(count("SetWriting 1"), 1);
    EXPECT_EQ(count("SetWriting 0"), 1);
    // Set and released on the window's own thread, around the writes' thread.
    const auto at = [&](const std::string& call) {
        return std::find(window.calls.begin(), window.calls.end(), call) - window.calls.begin();
    };
    EXPECT_LT(at("SetWriting 1"), at("RunWrites begin"));
    EXPECT_LT(at("RunWrites begin"), at("RunWrites end"));
    EXPECT_LT(at("RunWrites end"), at("SetWriting 0"));
}

TEST_F(Flash, TheWritingStateIsReleasedWhenTheLoopIsLeftByAnException) {
    Drive('D');
    Start();
    window.onPump = [] { throw std::runtime_error("window gone"); };
    window.Answer("Caution!", ui::kIdOk);
    EXPECT_THROW(form->btnStartClick(), std::runtime_error);
    EXPECT_FALSE(window.writing);
    // And the procedure can run again afterwards.
    window.onPump = nullptr;
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    EXPECT_EQ(BoxCaptions().back(), "Yes!");
}

// A drive chosen while the procedure runs (at its question, during the writes) changes nothing
// until it has ended; then it is the drive the next Start uses, the one the list shows.
TEST_F(Flash, ADriveChosenDuringTheProcedureIsTakenOnceItHasEnded) {
    VirtualDrive& drive = Drive('D');
    VirtualDrive& other = Drive('E');
    Start();
    const OsHandle first = atapi->CurrentHandle;
    const auto choose = [&](int item) {
        window.selected = item;
        form->cbbDeviceChange();
        EXPECT_EQ(atapi->CurrentHandle, first);
    };
    window.onBox = [&](const ScriptedWindow::Box& box) {
        if (box.caption == "Caution!") choose(1);
    };
    window.onPump = [&] {
        choose(0);
        form->btnStartClick();
        choose(1);
    };
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), 4u);
    EXPECT_TRUE(SentSinceStart(other).empty());
    EXPECT_EQ(BoxCaptions(), (std::vector<std::string>{"Caution!", "Yes!"}));
    EXPECT_EQ(atapi->CurrentHandle, atapi->Devices[1].Handle);

    window.onBox = nullptr;
    window.onPump = nullptr;
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    EXPECT_EQ(PageWrites(SentSinceStart(other)).size(), 4u);
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), 4u);
}

// Closing is refused at every step from Start to the end of the procedure, with a line that says
// why, and allowed again once it has ended.
TEST_F(Flash, ClosingIsRefusedFromStartUntilTheProcedureHasEnded) {
    VirtualDriveConfig newer;
    newer.revision = "1.10";
    Drive('D', newer);
    Start();
    const auto mayClose = [&] {
        bool canClose = true;
        form->FormCloseQuery(nullptr, canClose);
        return canClose;
    };
    EXPECT_TRUE(mayClose());
    std::vector<std::string> refused;
    window.onBox = [&](const ScriptedWindow::Box& box) {
        if (!mayClose()) refused.push_back(box.caption);
    };
    window.onPump = [&] {
        if (!mayClose()) refused.push_back("page");
    };
    window.Answer("Caution", ui::kIdYes);
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    // The drive keeps reporting its newer version: the last box is the one that says so.
    EXPECT_EQ(refused, (std::vector<std::string>{"Caution", "Caution!", "page", "page", "page", "page", "Caution"}));
    EXPECT_EQ(std::count(window.log.begin(), window.log.end(), text::kCloseRefusedBeforeWrites), 3);
    EXPECT_EQ(std::count(window.log.begin(), window.log.end(), text::kCloseRefused), 4);
    const size_t lines = window.log.size();
    EXPECT_TRUE(mayClose());
    EXPECT_EQ(window.log.size(), lines);
}

// OK alone starts the writes: Cancel, and 0 from a box that failed or went with its window, do not.
class LastConfirmation : public MainFixture, public ::testing::WithParamInterface<int> {};

TEST_P(LastConfirmation, AnyAnswerButOkSendsNoPage) {
    VirtualDrive& drive = Drive('D');
    Start();
    window.Answer("Caution!", GetParam());
    form->btnStartClick();
    EXPECT_EQ(SentSinceStart(drive).size(), 2u);
    EXPECT_EQ(window.log, std::vector<std::string>{RunLog(image).front()});
    EXPECT_EQ(window.progressPosition, 0u);
    EXPECT_EQ(window.progressMax, 4u);
    EXPECT_EQ(BoxCaptions(), std::vector<std::string>{"Caution!"});
    EXPECT_EQ(std::count(window.calls.begin(), window.calls.end(), "SetWriting 1"), 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, LastConfirmation, ::testing::Values(ui::kIdCancel, 0, ui::kIdNo, ui::kIdYes));

TEST_F(Flash, TwoRunsAppendTwoFullSetsOfLines) {
    VirtualDrive& drive = Drive('D');
    Start();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    auto twice = RunLog(image);
    const auto once = twice;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(window.log, twice);
    EXPECT_EQ(PageWrites(SentSinceStart(drive)).size(), 8u);
}

TEST_F(Flash, ChecksumsAreLoggedWithLeadingZeros) {
    testimage::Shape shape;
    shape.length = 2 * testimage::kPage;
    image = testimage::Image(shape);
    // The second page sums to 00FF: all zero but one byte.
    std::memset(&image[testimage::kPage], 0, testimage::kPage);
    image[testimage::kPage + 77] = 0xFF;
    VirtualDrive& drive = Drive('D');
    Start(testimage::Container(image));
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    ASSERT_EQ(window.log.size(), 5u);
    EXPECT_EQ(window.log[2], "Page 2 Checksum : 00FF");
    EXPECT_EQ(window.log, RunLog(image));
    EXPECT_EQ(drive.AssembledImage(), image);
}

TEST_F(Flash, ThePageNumberInTheBlockKeepsItsLowEightBits) {
    testimage::Shape shape;
    shape.length = 258 * testimage::kPage;
    VirtualDrive& drive = Drive('D');
    Start(shape);
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    const auto writes = PageWrites(SentSinceStart(drive));
    ASSERT_EQ(writes.size(), 258u);
    EXPECT_EQ(writes[0].cdb[10], 0x01);
    EXPECT_EQ(writes[254].cdb[10], 0xFF);
    EXPECT_EQ(writes[255].cdb[10], 0x00);
    EXPECT_EQ(writes[256].cdb[10], 0x01);
    EXPECT_EQ(window.log[257], "Page 257 Checksum : " + Hex4(Sum(&image[256 * testimage::kPage], 16384)));
    EXPECT_EQ(window.progressMax, 258u);
    EXPECT_EQ(drive.AssembledImage(), image);
}

TEST_F(Flash, TheAspiPathSendsTheSameCommandsToTheSelectedAddress) {
    VirtualDriveConfig other;
    other.vendorProduct = "OTHR    CD-ROM 52X      ";
    VirtualDrive& first = AspiDrive(0, 0, 0, other);
    VirtualDrive& target = AspiDrive(0, 3, 1);
    Start();
    window.selected = 1;
    form->cbbDeviceChange();
    window.Answer("Caution!", ui::kIdOk);
    form->btnStartClick();
    EXPECT_TRUE(SentSinceStart(first).empty());
    EXPECT_EQ(PageWrites(SentSinceStart(target)).size(), 4u);
    EXPECT_EQ(target.AssembledImage(), image);
    EXPECT_EQ(BoxCaptions().back(), "Yes!");
}

}  // namespace

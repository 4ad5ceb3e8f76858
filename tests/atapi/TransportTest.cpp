// Sending commands: both paths against the scripted OS layer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "FakeOs.h"
#include "TAtapi.h"

namespace {

const uint8_t kIdentity[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
const uint8_t kUnknown[12] = {0xEA, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

struct PassThrough : ::testing::Test {
    void SetUp() override {
        os.AddDrive('D', &drive);
        atapi = std::make_unique<TAtapi>(os);
        ASSERT_EQ(atapi->DeviceCount, 1);
        os.messageBoxes.clear();
    }
    const std::vector<uint8_t>& LastBlock() { return os.passThroughBlocks.back(); }
    FakeOs os;
    VirtualDrive drive;
    std::unique_ptr<TAtapi> atapi;
    uint8_t buffer[16384] = {};
};

TEST_F(PassThrough, MapsTheDirectionAndAlwaysSendsTwelveCommandBytes) {
    const struct { uint8_t direction, dataIn; } cases[] = {{kDirIn, 1}, {kDirOut, 0}, {0, 2}, {0x48, 2}};
    for (const auto& c : cases) {
        atapi->SendCommand(kUnknown, buffer, 20, c.direction);
        EXPECT_EQ(LastBlock()[8], c.dataIn) << int(c.direction);
        EXPECT_EQ(LastBlock()[6], 12);
    }
    EXPECT_EQ(os.ioctlHandles.back(), atapi->Devices[0].Handle);
    // The block addresses the caller's buffer directly.
    uintptr_t address;
    std::memcpy(&address, LastBlock().data() + kNativePassThrough.dataBuffer, sizeof address);
    EXPECT_EQ(address, reinterpret_cast<uintptr_t>(buffer));
}

TEST_F(PassThrough, GoodStatusIsOneAndCheckConditionKeepsTheSense) {
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 1);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::Completed);
    EXPECT_EQ(0, std::memcmp(buffer, "KOLA", 4));

    EXPECT_EQ(atapi->SendCommand(kUnknown, buffer, 0, 0), 2);
    const CommandRecord& r = atapi->LastCommand();
    EXPECT_EQ(r.outcome, CommandOutcome::Failed);
    EXPECT_EQ(r.scsiStatus, 2);
    EXPECT_EQ(r.senseLength, 18);
    EXPECT_EQ(r.SenseKey(), 5);
    EXPECT_EQ(r.Asc(), 0x20);
    EXPECT_EQ(0, std::memcmp(r.cdb, kUnknown, 12));
    EXPECT_TRUE(os.messageBoxes.empty());

    drive.Busy(0x5A, 2);
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 8);
    EXPECT_EQ(atapi->LastCommand().senseLength, 0);
}

TEST_F(PassThrough, ErrorsOfAStalledDriveCountAsCompletionWithoutAMessage) {
    const int calls = static_cast<int>(os.passThroughBlocks.size());
    os.FailIoctl(calls + 1, 121, true);
    os.FailIoctl(calls + 2, 1117, false);
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 1);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::CompletedTolerated);
    EXPECT_EQ(atapi->LastCommand().osError, 121u);
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 1);
    EXPECT_EQ(atapi->LastCommand().osError, 1117u);
    // With a status from the drive, that status is returned.
    os.FailIoctl(calls + 3, 1117, true);
    EXPECT_EQ(atapi->SendCommand(kUnknown, buffer, 0, 0), 2);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::Failed);
    EXPECT_TRUE(os.messageBoxes.empty());
}

TEST_F(PassThrough, OtherErrorsShowTheSystemTextWholeAndReturnZero) {
    const int calls = static_cast<int>(os.passThroughBlocks.size());
    os.FailIoctl(calls + 1, 6);
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 0);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(atapi->LastCommand().osError, 6u);
    ASSERT_EQ(os.messageBoxes.size(), 1u);
    EXPECT_EQ(os.messageBoxes[0], "The handle is invalid.\r\n\n");

    const std::string longText(300, 'x');  // longer than any fixed buffer
    os.errorTexts[5] = longText;
    os.FailIoctl(calls + 2, 5);
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 0);
    EXPECT_EQ(os.messageBoxes[1], longText + "\n");

    os.formatMessageFails = true;
    os.FailIoctl(calls + 3, 5);
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 0);
    EXPECT_EQ(os.messageBoxes[2], "Format message failed.  Error: 122\n");
}

TEST_F(PassThrough, ANeverAnsweringDriveEndsInTheDriversTimeOut) {
    drive.NeverComplete(0xFD, 1);
    const uint8_t write[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0, 0, 0, 0, 1, 8};
    EXPECT_EQ(atapi->SendCommand(write, buffer, 16384, kDirOut), 1);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::CompletedTolerated);
    EXPECT_EQ(LastBlock()[16], 60);  // TimeOutValue
}

struct Aspi : ::testing::Test {
    void SetUp() override {
        os.platformId = 1;
        os.AddAspiDevice(0, 2, 1, &drive);
        os.AddAspiDevice(1, 0, 0, &other);
    }
    void Construct() {
        atapi = std::make_unique<TAtapi>(os);
        os.execRequests.clear();
        os.waits.clear();
    }
    FakeOs os;
    VirtualDrive drive, other;
    std::unique_ptr<TAtapi> atapi;
    uint8_t buffer[16384] = {};
};

TEST_F(Aspi, FillsTheExecuteRequestForTheCurrentDevice) {
    os.hostAdapters = 2;
    Construct();
    ASSERT_EQ(atapi->DeviceCount, 2);
    atapi->SelectDevice(0);
    const struct { uint8_t direction, flags; } cases[] = {{kDirIn, 0x48}, {kDirOut, 0x50}, {0, 0x40}};
    for (const auto& c : cases) {
        atapi->SendCommand(kIdentity, buffer, 20, c.direction);
        const SrbExecScsiCmd& srb = os.execRequests.back();
        EXPECT_EQ(srb.SRB_Flags, c.flags);
        EXPECT_EQ(srb.SRB_Cmd, 2);
        EXPECT_EQ(srb.SRB_HaId, 0);
        EXPECT_EQ(srb.SRB_Target, 2);
        EXPECT_EQ(srb.SRB_Lun, 1);
        EXPECT_EQ(uint32_t{srb.SRB_BufLen}, 20u);
        EXPECT_EQ(static_cast<uint8_t*>(srb.SRB_BufPointer), buffer);  // packed: compare copies
        EXPECT_EQ(srb.SRB_SenseLen, 14);
        EXPECT_EQ(srb.SRB_CDBLen, 12);
        EXPECT_NE(static_cast<void*>(srb.SRB_PostProc), nullptr);
        EXPECT_EQ(0, std::memcmp(srb.CDBByte, kIdentity, 12));
        EXPECT_EQ(srb.SRB_Status, 0);  // cleared before the call
        EXPECT_EQ(uint32_t{srb.SRB_Hdr_Rsvd}, 0u);
    }
    atapi->SelectDevice(1);
    atapi->SendCommand(kIdentity, buffer, 20, kDirIn);
    EXPECT_EQ(os.execRequests.back().SRB_HaId, 1);
    EXPECT_EQ(other.Commands().back().cdb[0], 0x5A);
}

TEST_F(Aspi, ImmediateAnswerReturnsWithoutWaiting) {
    Construct();
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 1);
    EXPECT_TRUE(os.waits.empty());
    EXPECT_EQ(os.eventsCreated, os.eventsClosed);
    EXPECT_EQ(atapi->SendCommand(kUnknown, buffer, 0, 0), 4);  // SS_ERR with the drive's sense
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::Failed);
    EXPECT_EQ(atapi->LastCommand().SenseKey(), 5);
    EXPECT_EQ(atapi->LastCommand().senseLength, 14);
}

TEST_F(Aspi, PendingRequestIsAwaitedThirtySecondsAtMost) {
    Construct();
    os.aspiAnswer = FakeOs::AspiAnswer::PendingThenSignalled;
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 1);
    EXPECT_EQ(os.waits, std::vector<uint32_t>{30000});
    EXPECT_TRUE(os.abortRequests.empty());

    os.aspiAnswer = FakeOs::AspiAnswer::NeverCompletes;
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 4);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::TimedOut);
    ASSERT_EQ(os.abortRequests.size(), 1u);
    EXPECT_EQ(os.abortRequests[0].SRB_Cmd, 3);
    EXPECT_EQ(os.abortRequests[0].SRB_HaId, atapi->CurrentHaId);
    EXPECT_EQ(static_cast<void*>(os.abortRequests[0].SRB_ToAbort), static_cast<void*>(atapi->ExecRequest));

    os.aspiAnswer = FakeOs::AspiAnswer::WaitFails;
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 4);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::WaitFailed);
    EXPECT_EQ(os.abortRequests.size(), 2u);
    EXPECT_EQ(os.eventsCreated, os.eventsClosed);
}

TEST_F(Aspi, NothingIsSentWithoutAnEventOrAManager) {
    Construct();
    os.failCreateEvent = true;
    EXPECT_EQ(atapi->SendCommand(kIdentity, buffer, 20, kDirIn), 4);
    EXPECT_EQ(atapi->LastCommand().outcome, CommandOutcome::NotSent);
    EXPECT_TRUE(os.execRequests.empty());

    for (int missing = 0; missing < 3; ++missing) {
        FakeOs bare;
        bare.platformId = 1;
        bare.aspiLibraryPresent = missing != 0;
        bare.aspiHasSendCommand = missing != 1;
        bare.aspiHasSupportInfo = missing != 2;
        bare.AddAspiDevice(0, 0, 0, &drive);
        TAtapi a(bare);
        EXPECT_EQ(a.SendCommand(kIdentity, buffer, 20, kDirIn), 4) << missing;
        EXPECT_EQ(a.LastCommand().outcome, CommandOutcome::NotSent);
        EXPECT_TRUE(bare.execRequests.empty());
        EXPECT_EQ(bare.eventsCreated, 0);
        EXPECT_EQ(a.DeviceCount, 0);
    }
}

}  // namespace

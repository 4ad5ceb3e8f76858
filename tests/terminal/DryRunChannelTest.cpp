// The dry run over every path to a drive, driven through the drive-access object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DryRunChannel.h"
#include "FakeOs.h"
#include "TAtapi.h"
#include "VirtualChannel.h"

namespace {

constexpr uint8_t kPageWrite[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0x56, 0x78, 0x01, 0x08};
constexpr uint8_t kIdentity[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};

// Only INQUIRY and the identity query get through; every other block is told and answered as done.
void ExpectDryRun(TAtapi& atapi, const VirtualDrive& drive) {
    const size_t before = drive.Commands().size();
    std::vector<std::string> held;
    DryRunChannel dry(atapi.OwnPath(), [&](const CommandRecord& r) {
        held.push_back(CommandHex(r.cdb) + " / " + std::to_string(r.length));
    });
    atapi.Route(&dry);
    uint8_t reply[20] = {};
    EXPECT_EQ(atapi.SendCommand(kIdentity, reply, 20, kDirIn), 1);
    EXPECT_EQ(reply[0], 'K');
    uint8_t inquiry[50] = {};
    EXPECT_EQ(atapi.Inquiry(inquiry), 1);
    std::vector<uint8_t> page(0x4000);
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 1);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::Completed);
    const uint8_t testUnitReady[12] = {};
    atapi.SendCommand(testUnitReady, nullptr, 0, 0);
    atapi.Route(nullptr);

    ASSERT_EQ(drive.Commands().size(), before + 2);
    EXPECT_EQ(drive.Commands()[before].cdb[0], 0x5A);
    EXPECT_EQ(drive.Commands()[before + 1].cdb[0], 0x12);
    EXPECT_EQ(held, (std::vector<std::string>{"FD 07 56 45 4C 44 12 34 56 78 01 08 / 16384",
                                              "00 00 00 00 00 00 00 00 00 00 00 00 / 0"}));
    // Unrouted, commands reach the drive again.
    atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut);
    EXPECT_EQ(drive.Commands().back().cdb[0], 0xFD);
}

TEST(DryRunChannel, HoldsThePageWritesBackOnEveryPath) {
    {
        SCOPED_TRACE("virtual drive channel");
        VirtualDrive drive;
        VirtualChannel channel;
        channel.AddDrive(drive);
        TAtapi atapi(channel);
        ExpectDryRun(atapi, drive);
    }
    {
        SCOPED_TRACE("pass-through");
        VirtualDrive drive;
        FakeOs os;
        os.AddDrive('D', &drive);
        TAtapi atapi(os);
        ExpectDryRun(atapi, drive);
        EXPECT_EQ(os.passThroughBlocks.size(), 1u + 2u + 1u);  // discovery, the two let through, the last
    }
    {
        SCOPED_TRACE("ASPI");
        VirtualDrive drive;
        FakeOs os;
        os.platformId = 1;
        os.AddAspiDevice(0, 1, 0, &drive);
        TAtapi atapi(os);
        ExpectDryRun(atapi, drive);
        EXPECT_EQ(os.execRequests.size(), 1u + 2u + 1u);
    }
}

}  // namespace

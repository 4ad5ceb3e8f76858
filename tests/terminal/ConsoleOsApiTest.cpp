// The Windows console updater's view of the system layer, over in-process drives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleOsApi.h"
#include "TAtapi.h"
#include "VirtualOsApi.h"

namespace {

TEST(ConsoleOsApi, DriveLetterOfTheWaysADriveIsNamed) {
    EXPECT_EQ(DriveLetterOf("D:"), 'D');
    EXPECT_EQ(DriveLetterOf("e:"), 'E');
    EXPECT_EQ(DriveLetterOf("F:\\"), 'F');
    EXPECT_EQ(DriveLetterOf("\\\\.\\g:"), 'G');
    for (const char* bad : {"", "D", ":", "1:", "DD:", "D:\\x", "\\\\.\\", "\\\\.\\D:\\", "\\\\?\\D:", "/dev/sr0"})
        EXPECT_EQ(DriveLetterOf(bad), 0) << bad;
}

TEST(ConsoleOsApi, OnlyTheNamedLetterIsSeenAndBoxesBecomeLines) {
    VirtualDriveConfig second;
    second.vendorProduct = "OTHER   DRIVE           ";
    VirtualDrive d, e(second);
    VirtualOsApi system;
    system.AddDrive(d);
    system.AddDrive(e);
    std::vector<std::string> lines;
    ConsoleOsApi os(system, [&](const std::string& text) { lines.push_back(text); }, 'E');
    {
        TAtapi atapi(os);
        ASSERT_EQ(atapi.DeviceCount, 1);
        EXPECT_EQ(atapi.DeviceName(0), "\\\\.\\E:");
        EXPECT_STREQ(atapi.Devices[0].Product, "OTHER   DRIVE           ");
    }
    EXPECT_TRUE(d.Commands().empty());  // the other drive is not even asked

    ConsoleOsApi every(system, [&](const std::string& text) { lines.push_back(text); });
    EXPECT_EQ(TAtapi(every).DeviceCount, 2);
    every.MessageBox("Access is denied.\n");
    EXPECT_EQ(lines, std::vector<std::string>{"Access is denied.\n"});
}

}  // namespace

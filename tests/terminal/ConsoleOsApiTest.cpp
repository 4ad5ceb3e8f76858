// The Windows console updater's view of the system layer, over the scripted one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleOsApi.h"
#include "FakeOs.h"
#include "TAtapi.h"

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
    std::vector<std::string> lines;
    ConsoleOsApi<FakeOs> os([&](const std::string& text) { lines.push_back(text); }, 'E');
    os.AddDrive('D', &d);
    os.AddDrive('E', &e);
    {
        TAtapi atapi(os);
        ASSERT_EQ(atapi.DeviceCount, 1);
        EXPECT_EQ(atapi.DeviceName(0), "\\\\.\\E:");
        EXPECT_STREQ(atapi.Devices[0].Product, "OTHER   DRIVE           ");
    }
    EXPECT_TRUE(d.Commands().empty());  // the other drive is not even asked

    ConsoleOsApi<FakeOs> every([&](const std::string& text) { lines.push_back(text); });
    every.AddDrive('D', &d);
    every.AddDrive('E', &e);
    EXPECT_EQ(TAtapi(every).DeviceCount, 2);
    every.MessageBox("Access is denied.\n");
    EXPECT_EQ(lines, std::vector<std::string>{"Access is denied.\n"});
}

}  // namespace

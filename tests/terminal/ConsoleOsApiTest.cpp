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
    for (const char* bad :
         {"", "D", ":", "1:", "DD:", "D;", "D:\\x", "\\\\.\\", "\\\\.\\D:\\", "\\\\?\\D:", "/dev/sr0"})
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
    every.AddDrive('F', &e);
    every.FailOpen('F');  // told by list itself: no drive was named
    EXPECT_EQ(TAtapi(every).DeviceCount, 2);
    EXPECT_EQ(every.OpenError(), "");
    every.MessageBox("Access is denied.\n");
    EXPECT_EQ(lines, std::vector<std::string>{"Access is denied.\n"});
}

// --device E: narrows the scan to E:, yet the Drive line gives the number `list` gives E:,
// and an E: that does not open keeps the system's reason for the refusal.
TEST(ConsoleOsApi, NamedLetterKeepsListsNumberAndWhyItDidNotOpen) {
    VirtualDrive c, e, f, g, i;
    ConsoleOsApi<FakeOs> os([](const std::string&) {}, 'E');
    os.AddDrive('C', &c);
    os.AddDrive('D', &f);
    os.FailOpen('D');  // takes no place in the list
    os.AddDrive('E', &e);
    {
        TAtapi atapi(os);
        EXPECT_EQ(atapi.DeviceCount, 1);
        EXPECT_EQ(os.ListNumber(), 2);
        EXPECT_EQ(os.OpenError(), "");
    }
    EXPECT_TRUE(c.Commands().empty());  // opened to be counted, never asked

    ConsoleOsApi<FakeOs> fifth([](const std::string&) {}, 'I');
    VirtualDrive* before[] = {&c, &e, &f, &g};
    for (int n = 0; n < 4; ++n) fifth.AddDrive(static_cast<char>('C' + n), before[n]);
    fifth.AddDrive('I', &i);
    EXPECT_EQ(fifth.ListNumber(), 0);  // past the four drives list shows

    ConsoleOsApi<FakeOs> denied([](const std::string&) {}, 'E');
    denied.AddDrive('E', &e);
    denied.FailOpen('E');
    denied.errorTexts[5] = "Access is denied.\r\n";
    EXPECT_EQ(TAtapi(denied).DeviceCount, 0);
    EXPECT_EQ(denied.OpenError(), "Access is denied.");
    // A code the system has no text for, or only a line end, is still given, as its number.
    denied.errorTexts[5] = "\r\n";
    EXPECT_EQ(TAtapi(denied).DeviceCount, 0);
    EXPECT_EQ(denied.OpenError(), "system error 5");
    denied.formatMessageFails = true;
    EXPECT_EQ(TAtapi(denied).DeviceCount, 0);
    EXPECT_EQ(denied.OpenError(), "system error 5");
}

}  // namespace

// The terminal window layer: prompts, answers, error lines and progress.
#include <gtest/gtest.h>

#include "Capture.h"
#include "MainTexts.h"
#include "TerminalWindow.h"

namespace {

struct Terminal {
    explicit Terminal(TerminalOptions options, const std::string& typed = {})
        : in(typed), window(options, out.get(), err.get(), in.get()) {}
    int VersionQuestion() {
        return window.ShowMessageBox(ui::BoxKind::DriveVersionNewer, text::kDriveVersionNewer, text::kCaution,
                                     ui::kYesNo);
    }
    int LastConfirmation() {
        return window.ShowMessageBox(ui::BoxKind::LastConfirmation, text::kFlashNow, text::kCautionBang,
                                     ui::kOkCancel);
    }
    CapturedFile out, err, in;
    TerminalWindow window;
};

TEST(TerminalPrompt, YesAnswersOnlyTheVersionQuestionAndTheLastConfirmation) {
    TerminalOptions o;
    o.yes = true;
    Terminal t(o);
    EXPECT_EQ(t.VersionQuestion(), ui::kIdYes);
    EXPECT_EQ(t.LastConfirmation(), ui::kIdOk);
    EXPECT_FALSE(t.window.Refused());
    EXPECT_EQ(t.out.Text(), std::string("Caution: ") + text::kDriveVersionNewer +
                                "\nAnswered Yes (--yes).\n" + "Caution!: " + text::kFlashNow +
                                "\nAnswered OK (--yes).\n");
    // Any other question is not covered by --yes, whatever its text says.
    EXPECT_EQ(t.window.ShowMessageBox(ui::BoxKind::Refused, text::kDriveVersionNewer, text::kCaution, ui::kYesNo),
              ui::kIdNo);
    EXPECT_TRUE(t.window.Refused());
}

TEST(TerminalMessage, ErrorBoxesGoToStandardErrorAsOneLine) {
    Terminal t(TerminalOptions{});
    EXPECT_EQ(
        t.window.ShowMessageBox(ui::BoxKind::PageFailed, "Writing page 2 failed.\nStatus 2.\n\nRun again.",
                                text::kError, ui::kOk),
        ui::kIdOk);
    EXPECT_EQ(t.out.Text(), "Error: Writing page 2 failed.\nStatus 2.\n\nRun again.\n");
    EXPECT_EQ(t.err.Text(), "updater: Writing page 2 failed. Status 2. Run again.\n");
    EXPECT_TRUE(t.window.Refused());
    EXPECT_FALSE(t.window.Succeeded());
}

TEST(TerminalMessage, SuccessBoxAndItsDryRunCounterpart) {
    {
        Terminal t(TerminalOptions{});
        t.window.ShowMessageBox(ui::BoxKind::Succeeded, text::kFlashSucceed, text::kYesBang, ui::kOk);
        EXPECT_TRUE(t.window.Succeeded());
        EXPECT_EQ(t.out.Text(), "Yes!: Flash Succeed!\n");
        EXPECT_EQ(t.err.Text(), "");
    }
    {
        TerminalOptions o;
        o.dryRun = true;
        Terminal t(o);
        // The last confirmation needs no answer when nothing will be written.
        EXPECT_EQ(t.LastConfirmation(), ui::kIdOk);
        t.window.ShowMessageBox(ui::BoxKind::Succeeded, text::kFlashSucceed, text::kYesBang, ui::kOk);
        EXPECT_TRUE(t.window.Succeeded());
        const std::string out = t.out.Text();
        EXPECT_EQ(out.find("Flash Succeed!"), std::string::npos);
        EXPECT_NE(out.find("Dry run passed"), std::string::npos);
    }
}

TEST(TerminalProgress, PlainLinesOrABar) {
    {
        Terminal t(TerminalOptions{});
        t.window.SetProgressMax(2);
        t.window.SetProgressPosition(0);
        t.window.SetProgressPosition(1);
        t.window.SetProgressPosition(2);
        EXPECT_EQ(t.out.Text(), "Progress: 1 of 2 pages\nProgress: 2 of 2 pages\n");
    }
    {
        TerminalOptions o;
        o.progressBar = true;
        Terminal t(o);
        t.window.SetProgressMax(4);
        t.window.SetProgressPosition(1);
        t.window.AppendLog("Page 2");  // printed in the bar's place; the bar follows below it
        t.window.SetProgressPosition(4);
        t.window.AppendLog("Done");  // the full bar stays
        const std::string quarter = "\r[" + std::string(10, '#') + std::string(30, '.') + "] 1/4";
        EXPECT_EQ(t.out.Text(),
                  quarter + "\r\033[KPage 2\n" + quarter + "\r[" + std::string(40, '#') + "] 4/4\nDone\n");
    }
    {
        // A box in the middle of the writes leaves the bar where it stopped.
        TerminalOptions o;
        o.progressBar = true;
        Terminal t(o);
        t.window.SetProgressMax(2);
        t.window.SetProgressPosition(1);
        t.window.ShowMessageBox(ui::BoxKind::PageFailed, "Failed.", "Error", ui::kOk);
        t.window.AppendLog("after");
        EXPECT_EQ(t.out.Text(), "\r[" + std::string(20, '#') + std::string(20, '.') +
                                    "] 1/2\nError: Failed.\n" + "after\n");
    }
}

}  // namespace

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

TerminalOptions Interactive() {
    TerminalOptions o;
    o.interactive = true;
    return o;
}

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

TEST(TerminalPrompt, WithoutTerminalOrYesQuestionsAreDeclinedWithTheReason) {
    Terminal t(TerminalOptions{});
    EXPECT_EQ(t.VersionQuestion(), ui::kIdNo);
    EXPECT_EQ(t.LastConfirmation(), ui::kIdCancel);
    EXPECT_TRUE(t.window.Refused());
    const std::string out = t.out.Text();
    EXPECT_NE(out.find("No terminal to ask on and no --yes: answered No.\n"), std::string::npos);
    EXPECT_NE(out.find("No terminal to ask on and no --yes: answered Cancel.\n"), std::string::npos);
    EXPECT_EQ(t.err.Text(), std::string("updater: No terminal to ask on and no --yes: answered No. ") +
                                text::kDriveVersionNewer + "\nupdater: No terminal to ask on and no --yes: " +
                                "answered Cancel. " + text::kFlashNow + "\n");
}

TEST(TerminalPrompt, TypedAnswers) {
    {
        Terminal t(Interactive(), "y\n");
        EXPECT_EQ(t.VersionQuestion(), ui::kIdYes);
        EXPECT_NE(t.out.Text().find("Yes/No? "), std::string::npos);
    }
    {
        // An answer that is neither says which answers count and asks again.
        Terminal t(Interactive(), "maybe\nOK\n");
        EXPECT_EQ(t.LastConfirmation(), ui::kIdOk);
        const std::string out = t.out.Text();
        EXPECT_NE(out.find("OK/Cancel? Answer yes, y or ok to go on; no, n, cancel or an empty line to stop.\n"
                           "OK/Cancel? "),
                  std::string::npos);
        EXPECT_FALSE(t.window.Refused());
    }
    {
        Terminal t(Interactive(), "no\n");
        EXPECT_EQ(t.VersionQuestion(), ui::kIdNo);
        EXPECT_TRUE(t.window.Refused());
    }
    {
        // Input that never answers is no consent either.
        std::string others;
        for (int i = 0; i < 10; ++i) others += "maybe\n";
        Terminal t(Interactive(), others + "OK\n");
        EXPECT_EQ(t.LastConfirmation(), ui::kIdCancel);
        EXPECT_EQ(t.err.Text(), std::string("updater: No answer in 10 lines: answered Cancel. ") + text::kFlashNow + "\n");
    }
    {
        // The end of the input is no consent.
        Terminal t(Interactive(), "");
        EXPECT_EQ(t.LastConfirmation(), ui::kIdCancel);
        EXPECT_NE(t.err.Text().find("Answered Cancel."), std::string::npos);
    }
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

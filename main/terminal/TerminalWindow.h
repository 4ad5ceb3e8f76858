// The window layer on a terminal: log lines on standard output, message boxes
// as prompts with the same texts, captions and answers, the progress as a bar
// on a terminal and as plain lines otherwise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "MainWindowUi.h"

struct TerminalOptions {
    bool yes = false;          // answer the version question and the last confirmation with Yes/OK
    bool dryRun = false;       // page writes are printed, not sent: say so instead of the success box
    bool interactive = false;  // questions can be asked on the terminal (standard input is one)
    bool progressBar = false;  // standard output is a terminal
    bool documentOut = false;  // standard output carries a JSON document: no log lines there
};

// A message box text on one line, as standard error gets it: each line end becomes one space.
std::string OneLine(const std::string& text);

class TerminalWindow : public MainWindowUi {
public:
    // Questions are put on `ask` when it is given and is not `out` (output sent elsewhere
    // than the terminal the answers come from).
    TerminalWindow(TerminalOptions options, std::FILE* out, std::FILE* err, std::FILE* in,
                   std::FILE* ask = nullptr);

    void SetCaption(const std::string& text) override { caption_ = text; }
    void ClearLog() override {}
    void AppendLog(const std::string& line) override;
    void AddDeviceItem(const std::string& text) override { items_.push_back(text); }
    void SelectDeviceItem(int index) override;
    int SelectedDeviceIndex() override { return selected_; }
    void SetProgressMax(uint32_t maximum) override { progressMax_ = maximum; }
    void SetProgressPosition(uint32_t position) override;
    int ShowMessageBox(ui::BoxKind kind, const std::string& text, const std::string& caption,
                       uint32_t flags) override;
    void SetWriting(bool writing) override {
        if (onWriting) onWriting(writing);
    }
    void ProcessPendingMessages() override { std::fflush(out_); }
    ui::PowerStatus Power() override { return power ? power() : ui::PowerStatus{}; }
    void Wait(uint32_t milliseconds) override;
    uint32_t Clock() override;

    // What the computer runs on; unknown when not set.
    std::function<ui::PowerStatus()> power;
    // Sleeps for real; when not set (a simulated drive) the time passes at once.
    std::function<void(uint32_t milliseconds)> sleep;

    // Called with true when the page writes begin and with false when they are over.
    std::function<void(bool)> onWriting;

    // A failure the drive-access layer reports on its own (a system error text).
    void ReportSystemError(const std::string& text);

    const std::string& Caption() const { return caption_; }
    const std::vector<std::string>& Items() const { return items_; }
    // The procedure ended with its success box (or, in a dry run, where it would have).
    bool Succeeded() const { return succeeded_; }
    // An error box came or a question was answered No/Cancel.
    bool Refused() const { return refused_; }
    // Every page was written, but the drive did not report the image's version afterwards.
    bool Unconfirmed() const { return unconfirmed_; }

private:
    int Ask(ui::BoxKind kind, const std::string& text, const std::string& caption, uint32_t flags);
    bool ReadAnswer(std::string& answer);
    void ErrorLine(const std::string& text);
    void DrawBar();

    TerminalOptions options_;
    std::FILE* out_;
    std::FILE* err_;
    std::FILE* in_;
    std::FILE* ask_;
    std::string caption_;
    std::vector<std::string> items_;
    int selected_ = -1;
    uint32_t progressMax_ = 0, position_ = 0;
    bool barOpen_ = false;
    uint32_t waited_ = 0;  // the time that passed at once, without `sleep`
    bool succeeded_ = false, refused_ = false, unconfirmed_ = false;
};

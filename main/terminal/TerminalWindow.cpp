#include "TerminalWindow.h"

#include <cctype>
#include <chrono>

#include "SignalHold.h"

namespace {

constexpr int kBarWidth = 40;
// Of a longer line only this much is kept: enough that it matches no answer.
constexpr size_t kAnswerKept = 16;
// An input that never gives an answer (a stream of other lines) declines after this many.
constexpr int kMostAsks = 10;
// Either question takes the same answers, in any case.
constexpr char kAnswers[] = "Answer yes, y or ok to go on; no, n, cancel or an empty line to stop.\n";

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Only these two questions may be answered by --yes; a mismatch is an error box, never a question.
bool YesAnswers(ui::BoxKind kind) {
    return kind == ui::BoxKind::DriveVersionNewer || kind == ui::BoxKind::LastConfirmation;
}

}  // namespace

std::string OneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c != '\n') {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    return line;
}

TerminalWindow::TerminalWindow(TerminalOptions options, std::FILE* out, std::FILE* err, std::FILE* in,
                               std::FILE* ask)
    : options_(options), out_(out), err_(err), in_(in), ask_(ask ? ask : out) {}

void TerminalWindow::AppendLog(const std::string& line) {
    if (options_.documentOut) return;  // a system error still reaches standard error
    // A log line takes the bar's place, and the bar is drawn again below it.
    if (barOpen_) std::fputs("\r\033[K", out_);
    std::fprintf(out_, "%s\n", line.c_str());
    if (barOpen_) DrawBar();
}

void TerminalWindow::Wait(uint32_t milliseconds) {
    std::fflush(out_);
    if (sleep) {
        sleep(milliseconds);
    } else {
        waited_ += milliseconds;
    }
}

uint32_t TerminalWindow::Clock() {
    if (!sleep) return waited_;
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void TerminalWindow::SelectDeviceItem(int index) {
    selected_ = index >= 0 && index < static_cast<int>(items_.size()) ? index : -1;
}

void TerminalWindow::SetProgressPosition(uint32_t position) {
    if (position == 0 || progressMax_ == 0) return;
    position_ = position;
    if (!options_.progressBar) {
        std::fprintf(out_, "Progress: %u of %u pages\n", position, progressMax_);
        return;
    }
    DrawBar();
    barOpen_ = position < progressMax_;
    if (!barOpen_) std::fputc('\n', out_);
    std::fflush(out_);
}

void TerminalWindow::DrawBar() {
    const int filled = static_cast<int>(static_cast<uint64_t>(kBarWidth) * position_ / progressMax_);
    std::fprintf(out_, "\r[%s%s] %u/%u", std::string(filled, '#').c_str(),
                 std::string(kBarWidth - filled, '.').c_str(), position_, progressMax_);
}

void TerminalWindow::ErrorLine(const std::string& text) {
    std::fprintf(err_, "updater: %s\n", OneLine(text).c_str());
}

void TerminalWindow::ReportSystemError(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
    AppendLog(trimmed);
    ErrorLine(trimmed);
}

int TerminalWindow::ShowMessageBox(ui::BoxKind kind, const std::string& text, const std::string& caption,
                                   uint32_t flags) {
    // A box ends the writes: the bar stays where it stopped, the box below it.
    if (barOpen_) {
        std::fputc('\n', out_);
        barOpen_ = false;
    }
    if (flags != ui::kOk) return Ask(kind, text, caption, flags);
    if (kind == ui::BoxKind::Succeeded) {
        succeeded_ = true;
        AppendLog(options_.dryRun ? "Dry run passed: every check was made; no page write was sent."
                                  : caption + ": " + text);
    } else if (kind == ui::BoxKind::Unconfirmed) {
        unconfirmed_ = true;  // the program's last line says it on standard error
        AppendLog(caption + ": " + OneLine(text));
    } else {
        AppendLog(caption + ": " + text);
        ErrorLine(text);
        refused_ = true;
    }
    return ui::kIdOk;
}

int TerminalWindow::Ask(ui::BoxKind kind, const std::string& text, const std::string& caption, uint32_t flags) {
    const bool yesNo = flags == ui::kYesNo;
    const int accept = yesNo ? ui::kIdYes : ui::kIdOk;
    const int decline = yesNo ? ui::kIdNo : ui::kIdCancel;
    const std::string acceptWord = yesNo ? "Yes" : "OK", declineWord = yesNo ? "No" : "Cancel";
    AppendLog(caption + ": " + text);

    if (options_.dryRun && kind == ui::BoxKind::LastConfirmation) {
        AppendLog("Dry run: answered OK; the page-write blocks are printed below and not sent.");
        return accept;
    }
    if (options_.yes && YesAnswers(kind)) {
        AppendLog("Answered " + acceptWord + " (--yes).");
        return accept;
    }
    if (!options_.interactive) {
        const std::string why = "No terminal to ask on and no --yes: answered " + declineWord + ".";
        AppendLog(why);
        ErrorLine(why + " " + text);
        refused_ = true;
        return decline;
    }
    // Output sent elsewhere: the question itself is put on the terminal as well.
    if (ask_ != out_) std::fprintf(ask_, "%s: %s\n", caption.c_str(), text.c_str());
    // Both questions come before the first page: a signal that ends the program here says so.
    const SignalNote note("at the question ends the program: no page write was sent to the drive, and its "
                          "firmware is as it was.");
    std::string why = "Answered " + declineWord + ".";
    for (int asked = 1;; ++asked) {
        if (asked > kMostAsks) {
            why = "No answer in " + std::to_string(kMostAsks) + " lines: answered " + declineWord + ".";
            break;
        }
        std::fprintf(ask_, "%s/%s? ", acceptWord.c_str(), declineWord.c_str());
        std::fflush(ask_);
        std::string line;
        if (!ReadAnswer(line)) {
            std::fputc('\n', ask_);
            break;
        }
        const std::string answer = Lower(line);
        if (answer == "yes" || answer == "y" || answer == "ok") return accept;
        if (answer == "no" || answer == "n" || answer == "cancel" || answer.empty()) break;
        std::fputs(kAnswers, ask_);
    }
    AppendLog(why);
    ErrorLine(why + " " + text);
    refused_ = true;
    return decline;
}

// One whole line, without its line end (LF or CR LF); false at the end of the input, a last
// line without its line end included: an answer cut short is none.
bool TerminalWindow::ReadAnswer(std::string& answer) {
    answer.clear();
    for (int c; (c = std::fgetc(in_)) != EOF;) {
        if (c == '\n') {
            if (!answer.empty() && answer.back() == '\r') answer.pop_back();
            return true;
        }
        if (answer.size() < kAnswerKept) answer += static_cast<char>(c);
    }
    return false;
}

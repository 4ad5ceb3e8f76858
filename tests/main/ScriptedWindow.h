// A window for the tests: records every call the logic makes and answers the
// message boxes from a script.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "MainWindowUi.h"

class ScriptedWindow : public MainWindowUi {
public:
    struct Box {
        ui::BoxKind kind;
        std::string text;
        std::string caption;
        uint32_t flags;
        int answer;
    };

    // The next box must carry this caption and gets this answer. A box with OK
    // alone that finds no script entry is answered OK; any other box without
    // one is a test failure (and answered with Cancel).
    void Answer(const std::string& caption, int answer) { script_.push_back({caption, answer}); }
    bool ScriptUsedUp() const { return script_.empty(); }

    void SetCaption(const std::string& text) override {
        Record("SetCaption");
        caption = text;
    }
    void ClearLog() override {
        Record("ClearLog");
        log.clear();
    }
    void AppendLog(const std::string& line) override {
        Record("AppendLog");
        log.push_back(line);
    }
    void AddDeviceItem(const std::string& text) override {
        Record("AddDeviceItem");
        items.push_back(text);
    }
    void SelectDeviceItem(int index) override {
        Record("SelectDeviceItem " + std::to_string(index));
        // As a combo box does: an index with no item selects nothing.
        selected = index >= 0 && index < static_cast<int>(items.size()) ? index : -1;
    }
    int SelectedDeviceIndex() override { return selected; }
    void SetProgressMax(uint32_t maximum) override {
        Record("SetProgressMax " + std::to_string(maximum));
        progressMax = maximum;
    }
    void SetProgressPosition(uint32_t position) override {
        Record("SetProgressPosition " + std::to_string(position));
        progressPosition = position;
    }
    int ShowMessageBox(ui::BoxKind kind, const std::string& text, const std::string& caption,
                       uint32_t flags) override {
        Record("ShowMessageBox " + caption);
        // The Win32 window runs the writes on a thread of their own: a box from there would open off its thread.
        EXPECT_FALSE(inWrites) << "a box inside the writes: " << text;
        int answer = ui::kIdOk;
        if (!script_.empty()) {
            EXPECT_EQ(script_.front().caption, caption) << "box: " << text;
            answer = script_.front().answer;
            script_.pop_front();
        } else if (flags != ui::kOk) {
            ADD_FAILURE() << "unscripted box \"" << caption << "\": " << text;
            answer = ui::kIdCancel;
        }
        boxes.push_back({kind, text, caption, flags, answer});
        if (onBox) onBox(boxes.back());
        return answer;
    }
    void SetWriting(bool on) override {
        Record(std::string("SetWriting ") + (on ? "1" : "0"));
        writing = on;
    }
    void ProcessPendingMessages() override {
        Record("ProcessPendingMessages");
        if (onPump) onPump();
    }
    // Inline, as the terminal runs them; inWrites says where the logic is.
    void RunWrites(const std::function<void()>& writes) override {
        struct Inside {
            ScriptedWindow& window;
            explicit Inside(ScriptedWindow& w) : window(w) {
                window.Record("RunWrites begin");
                window.inWrites = true;
            }
            ~Inside() {
                window.inWrites = false;
                window.Record("RunWrites end");
            }
        } inside(*this);
        writes();
    }

    ui::PowerStatus Power() override {
        Record("Power");
        return power;
    }
    // No real time passes: the clock moves by the waits alone.
    void Wait(uint32_t milliseconds) override {
        Record("Wait " + std::to_string(milliseconds));
        clock += milliseconds;
        if (onWait) onWait();
    }
    uint32_t Clock() override { return clock; }

    std::string caption;
    std::vector<std::string> log;
    std::vector<std::string> items;
    int selected = -1;
    uint32_t progressMax = 100;
    uint32_t progressPosition = 0;
    std::vector<Box> boxes;
    std::vector<std::string> calls;
    bool writing = false;  // between the begin and the end of the page writes
    bool inWrites = false;  // inside RunWrites
    ui::PowerStatus power{ui::PowerSource::NoBattery, -1};
    uint32_t clock = 0;
    std::function<void()> onWait;            // runs inside Wait
    std::function<void()> onPump;            // runs inside ProcessPendingMessages
    std::function<void(const Box&)> onBox;   // runs inside ShowMessageBox

private:
    struct Entry {
        std::string caption;
        int answer;
    };
    void Record(std::string call) { calls.push_back(std::move(call)); }
    std::deque<Entry> script_;
};

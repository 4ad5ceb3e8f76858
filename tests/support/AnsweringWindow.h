// A window that answers every question itself (Yes and OK, or No and Cancel when told to decline)
// and keeps what a whole-run check needs: the boxes, the writing state, the selection.
#pragma once

#include <string>
#include <vector>

#include "MainWindowUi.h"

class AnsweringWindow : public MainWindowUi {
public:
    bool decline = false;
    ui::PowerStatus power{};
    std::vector<ui::BoxKind> boxes;
    std::string lastText;  // the last box's
    std::vector<std::string> log;
    uint32_t progress = 0;
    int writingDepth = 0, writingCalls = 0, selected = -1, items = 0;
    uint32_t clock = 0;

    void SetCaption(const std::string&) override {}
    void ClearLog() override {}
    void AppendLog(const std::string& line) override { log.push_back(line); }
    void AddDeviceItem(const std::string&) override { ++items; }
    void SelectDeviceItem(int index) override { selected = index < items ? index : -1; }
    int SelectedDeviceIndex() override { return selected; }
    void SetProgressMax(uint32_t) override {}
    void SetProgressPosition(uint32_t position) override { progress = position; }
    int ShowMessageBox(ui::BoxKind box, const std::string& text, const std::string&, uint32_t flags) override {
        boxes.push_back(box);
        lastText = text;
        if (flags == ui::kOk) return ui::kIdOk;
        if (decline) return flags == ui::kYesNo ? ui::kIdNo : ui::kIdCancel;
        return flags == ui::kYesNo ? ui::kIdYes : ui::kIdOk;
    }
    void SetWriting(bool writing) override {
        writingDepth += writing ? 1 : -1;
        ++writingCalls;
    }
    void ProcessPendingMessages() override {}
    ui::PowerStatus Power() override { return power; }
    // No real time passes: the clock moves by the waits alone.
    void Wait(uint32_t milliseconds) override { clock += milliseconds; }
    uint32_t Clock() override { return clock; }
    bool Last(ui::BoxKind box) const { return !boxes.empty() && boxes.back() == box; }
};

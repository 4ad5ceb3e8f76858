// What the updater's logic needs of its window, and nothing more. The logic
// talks to the window only through this layer, so that it builds and is tested
// natively and can get other front ends besides the Win32 one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Button sets and answers carry the values of the Windows message box.
namespace ui {
inline constexpr uint32_t kOk = 0;        // MB_OK
inline constexpr uint32_t kOkCancel = 1;  // MB_OKCANCEL
inline constexpr uint32_t kYesNo = 4;     // MB_YESNO
inline constexpr int kIdOk = 1;           // IDOK
inline constexpr int kIdCancel = 2;       // IDCANCEL
inline constexpr int kIdYes = 6;          // IDYES
inline constexpr int kIdNo = 7;           // IDNO

// Which box the procedure shows: a front end acts on this, never on a box's text.
enum class BoxKind {
    DriveNameMismatch,
    HardwareIdMismatch,
    DriveVersionNewer,  // the Yes/No question
    LastConfirmation,   // the OK/Cancel question before the page writes
    Succeeded,
    PageFailed,         // a page write failed; the firmware on the drive is incomplete
    Refused,            // refused before anything was sent (no image, no drive selected, ...)
    BatteryLow,         // refused before the last confirmation: the battery is nearly empty
    Unconfirmed,        // every page was written, but the drive did not then report the image's version
};

// What the computer runs on, as far as the system tells.
enum class PowerSource {
    Unknown,    // the system does not say
    NoBattery,  // no system battery: mains power
    Mains,      // a battery, but the charger is connected
    Battery,    // running on the battery
};
struct PowerStatus {
    PowerSource source = PowerSource::Unknown;
    int percent = -1;  // the battery's charge, -1 when unknown
};
}  // namespace ui

class MainWindowUi {
public:
    virtual ~MainWindowUi() = default;

    virtual void SetCaption(const std::string& text) = 0;
    virtual void ClearLog() = 0;
    virtual void AppendLog(const std::string& line) = 0;

    virtual void AddDeviceItem(const std::string& text) = 0;
    virtual void SelectDeviceItem(int index) = 0;
    virtual int SelectedDeviceIndex() = 0;  // -1 when no item is selected

    virtual void SetProgressMax(uint32_t maximum) = 0;  // the minimum stays 0
    virtual void SetProgressPosition(uint32_t position) = 0;

    // Modal, no icon; flags is one of the button sets above, the result the button pressed.
    virtual int ShowMessageBox(ui::BoxKind kind, const std::string& text, const std::string& caption,
                               uint32_t flags) = 0;

    // True when the page writes begin, false once they are over and the drive has been asked
    // again after them, on every way out. Meanwhile nothing may cut them short: the window keeps
    // Start and the drive list off, keeps the system awake, refuses a shutdown and holds one that
    // comes all the same. (Closing is refused from Start on: the form's FormCloseQuery says so.)
    virtual void SetWriting(bool writing) = 0;

    // Handles the window messages that are waiting, then returns.
    virtual void ProcessPendingMessages() = 0;

    // Runs the page writes and the asks after them, and returns when they are over, passing on
    // what they threw. No modal loop of the window (a box, a move of the window, a held scroll
    // bar) may hold them up: a window that has such loops runs them on a thread of their own
    // and goes on handling its messages meanwhile. From inside they call only AppendLog,
    // SetProgressPosition, ProcessPendingMessages, Wait and Clock. A window that serves its
    // messages between the commands runs them inline.
    virtual void RunWrites(const std::function<void()>& writes) { writes(); }

    // What the computer runs on now.
    virtual ui::PowerStatus Power() = 0;
    // Waits this long while the window goes on handling its messages.
    virtual void Wait(uint32_t milliseconds) = 0;
    // Milliseconds from any fixed point, wrapping; only differences count.
    virtual uint32_t Clock() = 0;
};

// The main window on Win32: a top panel with the drive list, Start, the
// progress bar and its label, above the log. Plain Win32 and common controls.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "MainWindowUi.h"

class Win32MainWindow final : public MainWindowUi {
public:
    struct Handlers {
        std::function<void()> deviceChange;
        std::function<void()> startClick;
        std::function<bool()> closeQuery;  // whether the window may close now
    };

    explicit Win32MainWindow(HINSTANCE instance);
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }
    void Create();  // the window and its controls, not yet shown; throws when it cannot
    void Show(int showCommand);
    int Run();      // the message loop; returns the exit code

    void SetCaption(const std::string& text) override;
    void ClearLog() override;
    void AppendLog(const std::string& line) override;
    void AddDeviceItem(const std::string& text) override;
    void SelectDeviceItem(int index) override;
    int SelectedDeviceIndex() override;
    void SetProgressMax(uint32_t maximum) override;
    void SetProgressPosition(uint32_t position) override;
    int ShowMessageBox(ui::BoxKind kind, const std::string& text, const std::string& caption,
                       uint32_t flags) override;
    void SetWriting(bool writing) override;
    void ProcessPendingMessages() override;
    void RunWrites(const std::function<void()>& writes) override;
    ui::PowerStatus Power() override;
    void Wait(uint32_t milliseconds) override;
    uint32_t Clock() override;

    // Runs `job` on the window's thread and waits for it; what it throws is passed on. Boxes
    // asked for on the writes' thread open through this.
    void RunOnWindowThread(const std::function<void()>& job);
    // The drive layer's box for a system error: owned by the window, so that the window stays
    // disabled beneath it, and shown from any thread.
    void ShowSystemError(const std::string& text);

private:
    // A log line or a progress position from the writes' thread, shown by the window's thread.
    struct Update {
        bool isLine;
        std::string line;
        uint32_t position;
    };

    static DWORD WINAPI WritesThread(void* context);
    static LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(WPARAM wParam);
    void OnClose();
    bool MayClose();
    void OnSessionEnd();
    bool TakeQuit();
    bool OnWindowThread() const { return GetCurrentThreadId() == windowThread_; }
    bool WritesEnded() const;
    void ServeUntilEnded();
    void Queue(Update update);
    void ShowUpdates();
    void AddLine(const std::string& line);
    void Layout();
    void Dispatch(MSG& message);
    void Raise(const std::function<void()>& handler);
    void SetControlsEnabled(bool enabled);
    int TextWidth(const char* text, int least);
    HWND Child(HWND parent, const char* className, const char* text, DWORD style, DWORD exStyle, int x, int y,
               int width, int height, int id);

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND memo_ = nullptr, panel_ = nullptr, combo_ = nullptr, start_ = nullptr, progress_ = nullptr,
         label_ = nullptr;
    HFONT font_ = nullptr;
    Handlers handlers_;
    bool writing_ = false;  // the system kept awake, a shutdown blocked
    bool sessionEnding_ = false;  // the system has said that the session ends: no more boxes
    bool systemBoxOpen_ = false;  // the drive layer's box is up on the writes' behalf
    HANDLE writesThread_ = nullptr;  // while the writes run on a thread of their own
    std::atomic<bool> writesOver_{false};  // set by that thread as the last thing it does
    DWORD windowThread_ = 0;
    CRITICAL_SECTION updatesLock_;
    std::vector<Update> updates_;  // under updatesLock_
    bool updatesAnnounced_ = false;  // under updatesLock_
    bool quit_ = false;
    int quitCode_ = 0;
};

// The program's standard error box for an exception that reached the window or
// the program entry; an exception without a message shows an empty text.
void ShowExceptionBox(HWND owner, const char* message);

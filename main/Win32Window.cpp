#include "Win32Window.h"

#include <commctrl.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

#include "MainTexts.h"
#include "Win32Power.h"

namespace {

constexpr char kMainClass[] = "TMainW";
constexpr char kPanelClass[] = "TPanel";
constexpr char kProgramTitle[] = "Updater";

// Control IDs stay clear of IDOK and IDCANCEL, which the dialog keys send.
enum ControlId { kMemoId = 100, kPanelId, kComboId, kStartId, kProgressId, kLabelId };

// The window's own messages: updates from the writes' thread are waiting; run a job
// (lParam: a Job) on the window's thread.
constexpr UINT kUpdatesWaiting = WM_APP + 1;
constexpr UINT kRunJob = WM_APP + 2;

// Work handed to another thread, and what it threw: exceptions must not unwind through
// the system's frames, they are passed on to the thread that waits for the work.
struct Job {
    const std::function<void()>* work;
    std::exception_ptr failure;

    void Run() {
        try {
            (*work)();
        } catch (...) {
            failure = std::current_exception();
        }
    }
};

// What wakes the window's thread while it waits for the writes: every kind of message, spelled out, since
// the headers' QS_ALLINPUT carries bits that older Windows refuse in a wait (raw input before XP, touch
// and pointer before 8), which then fails at once, every time.
constexpr DWORD kWakeMask =
    QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_SENDMESSAGE | QS_HOTKEY;
static_assert((kWakeMask & ~DWORD{0xFF}) == 0, "a wake mask that Windows 98 and NT 4.0 accept");
// A box for the writes' thread comes as a sent message, their log lines as a posted one.
static_assert((kWakeMask & QS_SENDMESSAGE) != 0 && (kWakeMask & QS_POSTMESSAGE) != 0);
// Between two looks at the writes' thread when the system refuses the wait.
constexpr DWORD kRefusedWaitPause = 20;

// The writes handed to their thread; `over` is set once they have returned.
struct WritesRun {
    Job job;
    std::atomic<bool>* over;
};

constexpr int kPanelHeight = 78;
constexpr int kComboListHeight = 21 + 8 * 13;  // the edit field and eight items

Win32MainWindow* Owner(HWND window) {
    return reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

void Register(HINSTANCE instance, const char* name, WNDPROC procedure) {
    WNDCLASSEXA type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = procedure;
    type.hInstance = instance;
    type.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    type.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = name;
    if (!RegisterClassExA(&type) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        throw std::runtime_error(std::string("cannot register the window class ") + name);
    }
}

}  // namespace

// A label sizes itself to its text, so that a substituted font does not clip it.
int Win32MainWindow::TextWidth(const char* text, int least) {
    HDC context = GetDC(window_);
    if (!context) return least;
    const HGDIOBJ previous = SelectObject(context, font_);
    SIZE size{};
    GetTextExtentPoint32A(context, text, static_cast<int>(std::strlen(text)), &size);
    SelectObject(context, previous);
    ReleaseDC(window_, context);
    return size.cx > least ? size.cx : least;
}

void ShowExceptionBox(HWND owner, const char* message) {
    ::MessageBoxA(owner, message, kProgramTitle, MB_OK | MB_ICONERROR);
}

Win32MainWindow::Win32MainWindow(HINSTANCE instance) : instance_(instance) {
    InitializeCriticalSection(&updatesLock_);
}

Win32MainWindow::~Win32MainWindow() {
    if (writing_) SetWriting(false);
    if (window_) DestroyWindow(window_);
    if (font_) DeleteObject(font_);
    DeleteCriticalSection(&updatesLock_);
}

HWND Win32MainWindow::Child(HWND parent, const char* className, const char* text, DWORD style, DWORD exStyle,
                            int x, int y, int width, int height, int id) {
    HWND child = CreateWindowExA(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                 parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (!child) throw std::runtime_error(std::string("cannot create the control ") + className);
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return child;
}

void Win32MainWindow::Create() {
    windowThread_ = GetCurrentThreadId();
    Register(instance_, kMainClass, MainProc);
    Register(instance_, kPanelClass, PanelProc);
    // 8 point at 96 pixels per inch; the layout is not rescaled for other resolutions.
    font_ = CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
    window_ = CreateWindowExA(WS_EX_CONTROLPARENT, kMainClass, "", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 210, 163,
                              425, 432, nullptr, nullptr, instance_, this);
    if (!window_) throw std::runtime_error("cannot create the main window");

    // Created in tab order: the log, then the panel and the controls on it.
    memo_ = Child(window_, "EDIT", "",
                  WS_TABSTOP | WS_HSCROLL | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL |
                      ES_WANTRETURN,
                  WS_EX_CLIENTEDGE, 0, kPanelHeight, 417, 320, kMemoId);
    SendMessageA(memo_, EM_SETLIMITTEXT, 0, 0);
    panel_ = Child(window_, kPanelClass, "", WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, 0, 0, 417, kPanelHeight,
                   kPanelId);
    combo_ = Child(panel_, "COMBOBOX", "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0, 16, 8,
                   377, kComboListHeight, kComboId);
    SendMessageA(combo_, CB_SETITEMHEIGHT, 0, 13);
    start_ = Child(panel_, "BUTTON", "Start", WS_TABSTOP | BS_PUSHBUTTON, 0, 16, 40, 75, 25, kStartId);
    progress_ = Child(panel_, PROGRESS_CLASSA, "", 0, 0, 112, 48, 281, 17, kProgressId);
    SendMessageA(progress_, PBM_SETRANGE32, 0, 100);
    SendMessageA(progress_, PBM_SETPOS, 0, 0);
    label_ = Child(panel_, "STATIC", "Progress", SS_LEFT, 0, 112, 32, TextWidth("Progress", 41), 13, kLabelId);
    Layout();
}

void Win32MainWindow::Show(int showCommand) {
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    SetFocus(memo_);
}

int Win32MainWindow::Run() {
    MSG message;
    while (!quit_) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(message.wParam);
        if (got < 0) return 0;
        Dispatch(message);
    }
    return quitCode_;
}

void Win32MainWindow::Dispatch(MSG& message) {
    if (window_ && IsDialogMessageA(window_, &message)) return;
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

void Win32MainWindow::ProcessPendingMessages() {
    // On the writes' thread there is nothing to do: the window's thread serves the messages.
    if (!OnWindowThread()) return;
    MSG message;
    while (!quit_ && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Kept for the message loop, which ends once the procedure has returned.
            quit_ = true;
            quitCode_ = static_cast<int>(message.wParam);
            break;
        }
        Dispatch(message);
    }
}

ui::PowerStatus Win32MainWindow::Power() { return SystemPower(); }

void Win32MainWindow::Wait(uint32_t milliseconds) {
    if (!OnWindowThread()) {
        Sleep(milliseconds);
        return;
    }
    // In short slices, so that the window stays answering; a window that is gone has nothing to wait for.
    const DWORD start = GetTickCount();
    while (window_ && !quit_ && GetTickCount() - start < milliseconds) {
        ProcessPendingMessages();
        Sleep(20);
    }
}

uint32_t Win32MainWindow::Clock() { return GetTickCount(); }

DWORD WINAPI Win32MainWindow::WritesThread(void* context) {
    auto* run = static_cast<WritesRun*>(context);
    run->job.Run();
    // The last touch of the run: the window's thread may leave it behind as soon as this is set.
    run->over->store(true);
    return 0;
}

void Win32MainWindow::RunWrites(const std::function<void()>& writes) {
    WritesRun run{{&writes, nullptr}, &writesOver_};
    writesOver_ = false;
    DWORD id = 0;
    writesThread_ = CreateThread(nullptr, 0, WritesThread, &run, 0, &id);
    if (!writesThread_) {
        // No thread to spare: written inline, served between the pages as before.
        writes();
        return;
    }
    ServeUntilEnded();
    CloseHandle(writesThread_);
    writesThread_ = nullptr;
    ShowUpdates();
    if (run.job.failure) std::rethrow_exception(run.job.failure);
}

// Asked of the thread itself, not only of the wait: a wait that fails must not keep the procedure from ending.
bool Win32MainWindow::WritesEnded() const {
    return writesOver_.load() || WaitForSingleObject(writesThread_, 0) == WAIT_OBJECT_0;
}

// The window's message loop while the writes run on their own thread: a modal loop that a
// message starts here (a move of the window, a held scroll bar) holds up only this thread.
void Win32MainWindow::ServeUntilEnded() {
    while (!WritesEnded()) {
        const DWORD woke = MsgWaitForMultipleObjects(1, &writesThread_, FALSE, INFINITE, kWakeMask);
        if (woke == WAIT_OBJECT_0) return;
        // A wait the system refuses returns at once: the thread is then looked at in pauses.
        if (woke != WAIT_OBJECT_0 + 1) Sleep(kRefusedWaitPause);
        // Every message is taken, sent ones too (a box for the writes' thread comes as one).
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                // Kept for the message loop, which ends once the procedure has returned.
                quit_ = true;
                quitCode_ = static_cast<int>(message.wParam);
                continue;
            }
            Dispatch(message);
        }
    }
}

void Win32MainWindow::RunOnWindowThread(const std::function<void()>& job) {
    if (OnWindowThread() || !window_) {
        job();
        return;
    }
    // Sent, not posted: the window's thread takes sent messages in its modal loops as well.
    Job sent{&job, nullptr};
    SendMessageA(window_, kRunJob, 0, reinterpret_cast<LPARAM>(&sent));
    if (sent.failure) std::rethrow_exception(sent.failure);
}

// Posted, not sent: the writes' thread does not wait for the window, whatever loop it is in.
void Win32MainWindow::Queue(Update update) {
    EnterCriticalSection(&updatesLock_);
    updates_.push_back(std::move(update));
    const bool announce = !updatesAnnounced_;
    if (announce) updatesAnnounced_ = PostMessageA(window_, kUpdatesWaiting, 0, 0) != FALSE;
    LeaveCriticalSection(&updatesLock_);
}

void Win32MainWindow::ShowUpdates() {
    EnterCriticalSection(&updatesLock_);
    std::vector<Update> waiting;
    waiting.swap(updates_);
    updatesAnnounced_ = false;
    LeaveCriticalSection(&updatesLock_);
    for (const Update& update : waiting) {
        if (update.isLine) {
            AddLine(update.line);
        } else {
            SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(update.position), 0);
        }
    }
}

void Win32MainWindow::Layout() {
    if (!panel_) return;
    RECT client;
    GetClientRect(window_, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    MoveWindow(panel_, 0, 0, width, kPanelHeight, TRUE);
    MoveWindow(memo_, 0, kPanelHeight, width, height > kPanelHeight ? height - kPanelHeight : 0, TRUE);
}

void Win32MainWindow::Raise(const std::function<void()>& handler) {
    if (!handler) return;
    // Exceptions stop here: they must not unwind through the system's frames.
    try {
        handler();
    } catch (const std::exception& error) {
        ShowExceptionBox(window_, error.what());
    } catch (...) {
        ShowExceptionBox(window_, "");
    }
}

void Win32MainWindow::OnCommand(WPARAM wParam) {
    const int id = LOWORD(wParam);
    const int code = HIWORD(wParam);
    if (id == kComboId && (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)) Raise(handlers_.deviceChange);
    if (id == kStartId && code == BN_CLICKED) Raise(handlers_.startClick);
}

void Win32MainWindow::OnClose() {
    if (MayClose()) {
        DestroyWindow(window_);
        return;
    }
    // No box: its modal loop would be one more thing to wait for, and nothing needs an answer.
    MessageBeep(MB_OK);
}

// The form decides; should asking it fail, the window stays.
bool Win32MainWindow::MayClose() {
    if (!handlers_.closeQuery) return true;
    bool may = false;
    Raise([&] { may = handlers_.closeQuery(); });
    return may;
}

// The system ends the session once this returns (a forced shutdown does not ask first): while pages are
// written, it is held until the writes and the read-back are over, as long as the system waits.
void Win32MainWindow::OnSessionEnd() {
    sessionEnding_ = true;
    // The writes' thread waits for the system error box below this: holding would never end.
    if (!writesThread_ || systemBoxOpen_) return;
    AppendLog(text::kSessionHeld);
    ServeUntilEnded();
    AppendLog(text::kSessionLetGo);
}

LRESULT Win32MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        Layout();
        return 0;
    case WM_COMMAND:
        OnCommand(wParam);
        return 0;
    case WM_CLOSE:
        OnClose();
        return 0;
    case kUpdatesWaiting:
        ShowUpdates();
        return 0;
    case kRunJob:
        reinterpret_cast<Job*>(lParam)->Run();
        return 0;
    case WM_QUERYENDSESSION:
        if (!writing_) return TRUE;
        AppendLog(text::kShutdownRefused);
        return FALSE;
    case WM_ENDSESSION:
        if (wParam) OnSessionEnd();
        return 0;
    case WM_DESTROY:
        window_ = nullptr;
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window_, message, wParam, lParam);
    }
}

LRESULT CALLBACK Win32MainWindow::MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Win32MainWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    Win32MainWindow* self = Owner(window);
    if (!self) return DefWindowProcA(window, message, wParam, lParam);
    return self->OnMessage(message, wParam, lParam);
}

LRESULT CALLBACK Win32MainWindow::PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The panel's controls report to the main window.
    if (message == WM_COMMAND) return SendMessageA(GetParent(window), message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

void Win32MainWindow::SetCaption(const std::string& text) { SetWindowTextA(window_, text.c_str()); }

void Win32MainWindow::ClearLog() { SetWindowTextA(memo_, ""); }

void Win32MainWindow::AppendLog(const std::string& line) {
    if (!OnWindowThread()) {
        Queue({true, line, 0});
        return;
    }
    // After the lines that are still waiting, so that the log keeps their order.
    ShowUpdates();
    AddLine(line);
}

void Win32MainWindow::AddLine(const std::string& line) {
    const int end = GetWindowTextLengthA(memo_);
    SendMessageA(memo_, EM_SETSEL, end, end);
    const std::string added = line + "\r\n";
    SendMessageA(memo_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
}

void Win32MainWindow::AddDeviceItem(const std::string& text) {
    SendMessageA(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Win32MainWindow::SelectDeviceItem(int index) { SendMessageA(combo_, CB_SETCURSEL, index, 0); }

int Win32MainWindow::SelectedDeviceIndex() {
    const LRESULT index = SendMessageA(combo_, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
}

void Win32MainWindow::SetProgressMax(uint32_t maximum) {
    SendMessageA(progress_, PBM_SETRANGE32, 0, static_cast<LPARAM>(maximum));
}

void Win32MainWindow::SetProgressPosition(uint32_t position) {
    if (!OnWindowThread()) {
        Queue({false, {}, position});
        return;
    }
    ShowUpdates();
    SendMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int Win32MainWindow::ShowMessageBox(ui::BoxKind, const std::string& text, const std::string& caption,
                                    uint32_t flags) {
    int answer = 0;
    // Once the session ends no box is shown, and one that was up counts as not answered.
    RunOnWindowThread([&] {
        if (sessionEnding_) return;
        answer = ::MessageBoxA(window_, text.c_str(), caption.c_str(), flags);
        if (TakeQuit()) answer = 0;
    });
    return sessionEnding_ ? 0 : answer;
}

// A box's modal loop ends on WM_QUIT and passes it on, with an answer nobody gave (wine: OK): taken
// here, so that the box counts as not answered and the message loop still ends.
bool Win32MainWindow::TakeQuit() {
    MSG message;
    if (!PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
    quit_ = true;
    quitCode_ = static_cast<int>(message.wParam);
    return true;
}

void Win32MainWindow::ShowSystemError(const std::string& text) {
    RunOnWindowThread([&] {
        if (sessionEnding_) return;
        systemBoxOpen_ = true;
        ::MessageBoxA(window_, text.c_str(), "", MB_OK);
        systemBoxOpen_ = false;
    });
}

void Win32MainWindow::SetControlsEnabled(bool enabled) {
    // A disabled control cannot keep the focus; the log takes it meanwhile.
    const HWND focus = GetFocus();
    if (!enabled && (focus == start_ || IsChild(combo_, focus) || focus == combo_)) SetFocus(memo_);
    EnableWindow(start_, enabled);
    EnableWindow(combo_, enabled);
}

void Win32MainWindow::SetWriting(bool writing) {
    SetControlsEnabled(!writing);
    writing_ = writing;
    KeepSystemAwake(writing);
    if (window_) BlockShutdown(window_, writing, text::kShutdownReason);
}

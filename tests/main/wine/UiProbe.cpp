// Reads the state of a running updater window and of its message boxes from
// another process, for the end-to-end tests:
//   uiprobe state          caption, controls, list items, progress, log lines
//   uiprobe boxes          every message box: caption, text, buttons with their screen centres
//   uiprobe box CAPTION    the text of the box with that caption
//   uiprobe endsession     asks the window whether the session may end: "answer=1" (yes) or "answer=0"
//   uiprobe endsession now tells the window that the session ends; returns once the window has let it
//   uiprobe post close|quit posts WM_CLOSE or WM_QUIT to the window, as another program may
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Text(HWND window) {
    const LRESULT length = SendMessageA(window, WM_GETTEXTLENGTH, 0, 0);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string Centre(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    return std::to_string((r.left + r.right) / 2) + "," + std::to_string((r.top + r.bottom) / 2);
}

// A box's text on one line: its line breaks become '|'.
std::string OneLine(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        out += c == '\n' ? '|' : c;
    }
    return out;
}

struct Controls {
    HWND main = nullptr, memo = nullptr, combo = nullptr, start = nullptr, progress = nullptr;
};

BOOL CALLBACK Collect(HWND child, LPARAM context) {
    auto* controls = reinterpret_cast<Controls*>(context);
    const std::string type = ClassOf(child);
    if (_stricmp(type.c_str(), "Edit") == 0 && GetParent(child) == controls->main) controls->memo = child;
    if (_stricmp(type.c_str(), "ComboBox") == 0) controls->combo = child;
    if (_stricmp(type.c_str(), "Button") == 0) controls->start = child;
    if (_stricmp(type.c_str(), PROGRESS_CLASSA) == 0) controls->progress = child;
    return TRUE;
}

int State() {
    HWND main = FindWindowA("TMainW", nullptr);
    if (!main) {
        std::printf("no window\n");
        return 1;
    }
    Controls controls;
    controls.main = main;
    EnumChildWindows(main, Collect, reinterpret_cast<LPARAM>(&controls));
    if (!controls.memo || !controls.combo || !controls.start || !controls.progress) {
        std::printf("controls missing\n");
        return 1;
    }
    std::printf("caption=%s\n", Text(main).c_str());
    RECT frame;
    GetWindowRect(main, &frame);
    std::printf("window=%ld,%ld,%ld,%ld\n", frame.left, frame.top, frame.right - frame.left,
                frame.bottom - frame.top);
    std::printf("start_at=%s\n", Centre(controls.start).c_str());
    std::printf("list_at=%s\n", Centre(controls.combo).c_str());
    RECT bar;
    GetWindowRect(controls.progress, &bar);
    std::printf("progress_rect=%ld,%ld,%ld,%ld\n", bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top);
    std::printf("start=%s\n", IsWindowEnabled(controls.start) ? "enabled" : "disabled");
    std::printf("list=%s\n", IsWindowEnabled(controls.combo) ? "enabled" : "disabled");
    const LRESULT count = SendMessageA(controls.combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        // The wide form: the narrow one does not cross processes intact.
        wchar_t item[256] = {};
        if (SendMessageW(controls.combo, CB_GETLBTEXTLEN, i, 0) < 255)
            SendMessageW(controls.combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        char narrow[512] = {};
        WideCharToMultiByte(CP_ACP, 0, item, -1, narrow, sizeof narrow, nullptr, nullptr);
        std::printf("item=%s\n", narrow);
    }
    std::printf("selected=%d\n", static_cast<int>(SendMessageA(controls.combo, CB_GETCURSEL, 0, 0)));
    std::printf("progress=%d/%d\n", static_cast<int>(SendMessageA(controls.progress, PBM_GETPOS, 0, 0)),
                static_cast<int>(SendMessageA(controls.progress, PBM_GETRANGE, FALSE, 0)));
    const std::string log = Text(controls.memo);
    size_t begin = 0;
    while (begin < log.size()) {
        size_t end = log.find("\r\n", begin);
        if (end == std::string::npos) end = log.size();
        std::printf("log=%s\n", log.substr(begin, end - begin).c_str());
        begin = end + 2;
    }
    return 0;
}

struct BoxSearch {
    const char* caption;
    std::string text;
    bool found = false;
};

BOOL CALLBACK BoxText(HWND child, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    if (_stricmp(ClassOf(child).c_str(), "Static") == 0) {
        const std::string text = Text(child);
        if (!text.empty()) search->text += (search->text.empty() ? "" : "\n") + text;
    }
    return TRUE;
}

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    if (ClassOf(window) == "#32770" && Text(window) == search->caption && IsWindowVisible(window)) {
        search->found = true;
        EnumChildWindows(window, BoxText, context);
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK ListButton(HWND child, LPARAM) {
    if (_stricmp(ClassOf(child).c_str(), "Button") == 0 && IsWindowVisible(child)) {
        std::string label = Text(child);
        label.erase(std::remove(label.begin(), label.end(), '&'), label.end());
        std::printf("BUTTON text=\"%s\" at=%s\n", label.c_str(), Centre(child).c_str());
    }
    return TRUE;
}

BOOL CALLBACK ListBox(HWND window, LPARAM) {
    if (ClassOf(window) != "#32770" || !IsWindowVisible(window)) return TRUE;
    BoxSearch search{"", {}, true};
    EnumChildWindows(window, BoxText, reinterpret_cast<LPARAM>(&search));
    std::printf("BOX caption=\"%s\" text=\"%s\"\n", Text(window).c_str(), OneLine(search.text).c_str());
    EnumChildWindows(window, ListButton, 0);
    return TRUE;
}

int Box(const char* caption) {
    BoxSearch search{caption, {}, false};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    if (!search.found) {
        std::printf("no box\n");
        return 1;
    }
    std::printf("%s\n", search.text.c_str());
    return 0;
}

// The question the system puts to every window before a shutdown or log-off; nothing
// ends, since no WM_ENDSESSION follows.
int EndSession() {
    HWND main = FindWindowA("TMainW", nullptr);
    if (!main) {
        std::printf("no window\n");
        return 1;
    }
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(main, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer)) {
        std::printf("no answer\n");
        return 1;
    }
    std::printf("answer=%d\n", answer ? 1 : 0);
    return 0;
}

// The end of the session, as the system announces it once every program has agreed (or a
// forced shutdown, without asking): the window may hold it until its own work is done.
int EndSessionNow() {
    HWND main = FindWindowA("TMainW", nullptr);
    if (!main) {
        std::printf("no window\n");
        return 1;
    }
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(main, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 300000, &answer)) {
        std::printf("no answer\n");
        return 1;
    }
    std::printf("ended\n");
    return 0;
}

int Post(const char* what) {
    HWND main = FindWindowA("TMainW", nullptr);
    if (!main) {
        std::printf("no window\n");
        return 1;
    }
    const UINT message = std::strcmp(what, "quit") == 0 ? WM_QUIT : WM_CLOSE;
    return PostMessageA(main, message, 0, 0) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "state") == 0) return State();
    if (argc == 3 && std::strcmp(argv[1], "box") == 0) return Box(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "endsession") == 0) return EndSession();
    if (argc == 3 && std::strcmp(argv[1], "endsession") == 0 && std::strcmp(argv[2], "now") == 0)
        return EndSessionNow();
    if (argc == 3 && std::strcmp(argv[1], "post") == 0 &&
        (std::strcmp(argv[2], "close") == 0 || std::strcmp(argv[2], "quit") == 0))
        return Post(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "boxes") == 0) {
        EnumWindows(ListBox, 0);
        return 0;
    }
    std::fprintf(stderr, "usage: uiprobe state | boxes | box CAPTION | endsession [now] | post close|quit\n");
    return 2;
}

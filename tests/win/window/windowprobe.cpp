// Test helper: inspects and drives the builder's windows from another process. The arguments are
// commands, run in order; results go to standard output, one line each:
//   wait CLASS            wait (300 s at most) until a visible window of CLASS exists
//   gone CLASS            wait until no visible window of CLASS exists
//   dump CLASS            caption, client size, enabled state, focus and every child control,
//                         each followed by the width of its widest text line in its own font,
//                         the width of its client area and how far its underline (the fullest
//                         pixel row it paints) reaches past the rest of its ink
//   settext CLASS ID TEXT set the text of a control
//   click CLASS ID        notify the window that control ID was clicked
//   key CLASS VK          press a key (decimal virtual key) in the control that has the focus
//   close CLASS           ask the window to close
//   box ANSWER            wait for a message box, print its caption and text, answer it (IDOK=1...)
//   sleep MS
//   shot NAME             print "shot NAME" and give the caller 3 s to take a screenshot
//   langid                the system default language ID
//   closebusy CLASS ID    once control ID is visible, ask the window to close, then report
//                         whether it still exists with that control visible and itself disabled
// A failed wait ends the helper with exit code 1.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <windows.h>

#include "probehook.h"

namespace {

HWND Find(const char* cls) {
    HWND window = FindWindowA(cls, nullptr);
    return window && IsWindowVisible(window) ? window : nullptr;
}

HWND WaitFor(const char* cls) {
    for (int i = 0; i < 3000; ++i) {
        if (HWND window = Find(cls))
            return window;
        Sleep(100);
    }
    std::printf("timeout %s\n", cls);
    std::exit(1);
}

std::string Text(HWND window) {
    // WM_GETTEXT, not GetWindowText: across processes only the message gives an edit's text.
    char text[4096] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
    return text;
}

// Line breaks as \n so that every control stays on one line.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c == '\r')
            continue;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    return out;
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

// The answer of the hook library, shared with it for the helper's whole run.
LONG* AnswerSlot() {
    static LONG* slot = [] {
        HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            2 * sizeof(LONG), kAnswerMapping);
        return mapping ? static_cast<LONG*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0))
                       : nullptr;
    }();
    return slot;
}

// The hook library beside this program, loaded once.
HMODULE HookLibrary() {
    static HMODULE library = [] {
        char path[MAX_PATH] = {};
        DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string folder(path, n);
        folder.resize(folder.find_last_of('\\') + 1);
        return LoadLibraryA((folder + "probehook.dll").c_str());
    }();
    return library;
}

class ThreadHook {
  public:
    ThreadHook(HOOKPROC proc, DWORD thread)
        : hook_(proc ? SetWindowsHookExA(WH_CALLWNDPROC, proc, HookLibrary(), thread) : nullptr) {}
    ~ThreadHook() {
        if (hook_)
            UnhookWindowsHookEx(hook_);
    }
    ThreadHook(const ThreadHook&) = delete;
    ThreadHook& operator=(const ThreadHook&) = delete;
    explicit operator bool() const { return hook_ != nullptr; }

  private:
    HHOOK hook_;
};

struct Measurement {
    long textWidth = -1;
    long underlineOverrun = 0;
};

// The width in pixels of the widest line of the control's text in the font that it draws with
// (-1 when it cannot be measured) and how far its underline reaches past its text. The
// measuring runs in the control's own process, through a hook of its thread, since a font
// handle means nothing in another process.
Measurement Measure(HWND control) {
    LONG* answer = AnswerSlot();
    auto proc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void (*)()>(GetProcAddress(HookLibrary(), "MeasureHook")));
    ThreadHook hook(proc, GetWindowThreadProcessId(control, nullptr));
    if (!answer || !hook)
        return {};
    answer[0] = -1;
    answer[1] = 0;
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(control, RegisterWindowMessageA(kMeasureMessage), 0, 0, SMTO_ABORTIFHUNG,
                        5000, &ignored);
    return {answer[0], answer[1]};
}

void Dump(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    std::printf("caption %s\n", Text(window).c_str());
    std::printf("client %ld %ld\n", client.right, client.bottom);
    std::printf("enabled %d\n", IsWindowEnabled(window) ? 1 : 0);
    HWND focus = FocusOf(window);
    std::printf("focus %d\n", focus ? GetDlgCtrlID(focus) : 0);
    LONG style = GetWindowLongA(window, GWL_STYLE);
    std::printf("style maximizebox=%d minimizebox=%d thickframe=%d\n",
                (style & WS_MAXIMIZEBOX) ? 1 : 0, (style & WS_MINIMIZEBOX) ? 1 : 0,
                (style & WS_THICKFRAME) ? 1 : 0);
    RECT outer;
    GetWindowRect(window, &outer);
    std::printf("outer %ld %ld %ld %ld\n", outer.left, outer.top, outer.right, outer.bottom);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = {};
        GetClassNameA(child, cls, sizeof(cls));
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        LONG childStyle = GetWindowLongA(child, GWL_STYLE);
        std::printf("control %d %s %ld %ld %ld %ld visible=%d tabstop=%d readonly=%d %s\n",
                    GetDlgCtrlID(child), cls, r.left, r.top, r.right - r.left, r.bottom - r.top,
                    IsWindowVisible(child) ? 1 : 0, (childStyle & WS_TABSTOP) ? 1 : 0,
                    (childStyle & ES_READONLY) ? 1 : 0, OneLine(Text(child)).c_str());
        RECT inside;
        GetClientRect(child, &inside);
        Measurement measured = Measure(child);
        std::printf("textwidth %d %ld %ld %ld\n", GetDlgCtrlID(child), measured.textWidth,
                    inside.right, measured.underlineOverrun);
    }
}

void AnswerBox(int answer) {
    HWND box = WaitFor("#32770");
    std::printf("box %s|%s\n", Text(box).c_str(), OneLine(Text(GetDlgItem(box, 0xFFFF))).c_str());
    std::fflush(stdout);
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
    for (int i = 0; i < 600 && IsWindow(box); ++i)
        Sleep(100);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string command = argv[i];
        auto arg = [&](int n) { return i + n < argc ? argv[i + n] : ""; };
        if (command == "wait") {
            WaitFor(arg(1));
            i += 1;
        } else if (command == "gone") {
            int tries = 0;
            while (Find(arg(1)) && tries++ < 3000)
                Sleep(100);
            std::printf("gone %s %d\n", arg(1), Find(arg(1)) ? 0 : 1);
            i += 1;
        } else if (command == "dump") {
            std::printf("dump %s\n", arg(1));
            Dump(WaitFor(arg(1)));
            i += 1;
        } else if (command == "settext") {
            SendMessageA(GetDlgItem(WaitFor(arg(1)), std::atoi(arg(2))), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(arg(3)));
            i += 3;
        } else if (command == "click") {
            HWND window = WaitFor(arg(1));
            int id = std::atoi(arg(2));
            PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
            i += 2;
        } else if (command == "key") {
            HWND window = WaitFor(arg(1));
            Sleep(300); // let focus settle after another window closed
            HWND focus = FocusOf(window);
            if (!focus || !IsChild(window, focus))
                focus = window;
            PostMessageA(focus, WM_KEYDOWN, std::atoi(arg(2)), 1);
            i += 2;
        } else if (command == "close") {
            PostMessageA(WaitFor(arg(1)), WM_CLOSE, 0, 0);
            i += 1;
        } else if (command == "box") {
            AnswerBox(std::atoi(arg(1)));
            i += 1;
        } else if (command == "sleep") {
            Sleep(static_cast<DWORD>(std::atoi(arg(1))));
            i += 1;
        } else if (command == "shot") {
            std::printf("shot %s\n", arg(1));
            std::fflush(stdout);
            Sleep(3000);
            i += 1;
        } else if (command == "langid") {
            std::printf("langid %u\n", static_cast<unsigned>(GetSystemDefaultLangID()));
        } else if (command == "closebusy") {
            HWND window = WaitFor(arg(1));
            HWND label = GetDlgItem(window, std::atoi(arg(2)));
            for (int n = 0; n < 6000 && IsWindow(label) && !IsWindowVisible(label); ++n)
                Sleep(10);
            PostMessageA(window, WM_CLOSE, 0, 0);
            Sleep(300);
            std::printf("closebusy exists=%d waitvisible=%d enabled=%d\n", IsWindow(window) ? 1 : 0,
                        IsWindowVisible(label) ? 1 : 0, IsWindowEnabled(window) ? 1 : 0);
            i += 2;
        } else if (command == "hello") {
            std::printf("hello\n");
        } else {
            std::printf("unknown command %s\n", command.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}

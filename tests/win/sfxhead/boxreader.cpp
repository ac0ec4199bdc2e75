// Test helper: waits up to N seconds (first argument) for a message box (dialog class #32770),
// prints "caption=" and its caption, then its texts, one per line, presses its default button
// (as Enter would) and exits 0; exits 1 when no box came.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

namespace {

BOOL CALLBACK PrintStatic(HWND child, LPARAM) {
    char cls[32];
    char text[2048];
    GetClassNameA(child, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0)
        printf("%s\n", text);
    return TRUE;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 10;
    for (int waited = 0; waited < seconds * 10; ++waited) {
        HWND box = FindWindowA("#32770", nullptr);
        if (box != nullptr && IsWindowVisible(box)) {
            Sleep(200); // let the box finish laying itself out
            char caption[256] = "";
            GetWindowTextA(box, caption, sizeof caption);
            printf("caption=%s\n", caption);
            EnumChildWindows(box, PrintStatic, 0);
            fflush(stdout);
            LRESULT def = SendMessageA(box, DM_GETDEFID, 0, 0);
            WPARAM button = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
            PostMessageA(box, WM_COMMAND, button, 0);
            return 0;
        }
        Sleep(100);
    }
    return 1;
}

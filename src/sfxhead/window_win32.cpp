// The progress window: a borderless tool window that draws its texts and a bar with a centred
// percentage itself. It ignores close requests, so only the run ends it.
#include "window_win32.h"

#include <windows.h>

#include "archive.h"
#include "progress.h"

namespace sfx {

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 96;
constexpr RECT kBarInner = {kBarLeft, 60, kBarLeft + kBarWidth, 80};
constexpr RECT kBarFrame = {14, 58, 306, 82};
constexpr UINT kWebAddressId = 65441;

HWND g_window;
HFONT g_captionFont;
HFONT g_smallFont;
const RunState* g_run;
uint8_t g_langIndex;
char g_webAddress[128];
// The bar as last painted: a refresh that would paint the same is left out, since with many
// small files most chunks move the bar by less than a pixel and a percent. It starts all zero,
// which no bar shows (its end is never left of kBarLeft), and so costs no initialised data.
ProgressMarks g_painted;

HFONT MakeFont(int height) {
    return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0,
                       "MS Sans Serif");
}

void DrawText(HDC dc, int x, int y, const char* text) {
    TextOutA(dc, x, y, text, static_cast<int>(TextLength(text)));
}

int TextWidth(HDC dc, const char* text) {
    SIZE size = {};
    GetTextExtentPoint32A(dc, text, static_cast<int>(TextLength(text)), &size);
    return size.cx;
}

// One part of the bar: the percentage clipped to `part`, which is filled with the background.
void DrawBarPart(HDC dc, RECT part, int x, const char* text, int textColour, int background) {
    SetBkColor(dc, GetSysColor(background));
    SetTextColor(dc, GetSysColor(textColour));
    ExtTextOutA(dc, x, 62, ETO_CLIPPED | ETO_OPAQUE, &part, text,
                static_cast<UINT>(TextLength(text)), nullptr);
}

ProgressMarks CurrentMarks() {
    return g_run ? MeasureProgress(g_run->doneSize, g_run->totalSize) : MeasureProgress(0, 0);
}

void PaintProgress(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    HGDIOBJ oldFont = SelectObject(dc, g_smallFont);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    DrawText(dc, kWidth - TextWidth(dc, g_webAddress) - 8, 4, g_webAddress);

    SelectObject(dc, g_captionFont);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    DrawText(dc, 16, 12, InitText(g_langIndex));
    DrawText(dc, 16, 32, WaitText(g_langIndex));

    ProgressMarks marks = CurrentMarks();
    char percent[8];
    PercentText(marks.percent, percent);
    int b = marks.barEnd;
    g_painted = marks;
    int x = (kBarWidth - TextWidth(dc, percent)) / 2 + kBarLeft;

    RECT outer = {0, 0, kWidth, kHeight};
    DrawEdge(dc, &outer, EDGE_RAISED, BF_RECT);
    RECT frame = kBarFrame;
    DrawEdge(dc, &frame, EDGE_SUNKEN, BF_RECT);
    DrawBarPart(dc, {kBarInner.left, kBarInner.top, b, kBarInner.bottom}, x, percent, COLOR_WINDOW,
                COLOR_ACTIVECAPTION);
    DrawBarPart(dc, {b, kBarInner.top, kBarInner.right, kBarInner.bottom}, x, percent,
                COLOR_ACTIVECAPTION, COLOR_WINDOW);
    SelectObject(dc, oldFont);
    EndPaint(window, &ps);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT:
        PaintProgress(window);
        return 0;
    case WM_CLOSE:
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

void CreateProgressWindow(const RunState* run, uint8_t langIndex) {
    g_run = run;
    g_langIndex = langIndex;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    LoadStringA(instance, kWebAddressId, g_webAddress, sizeof g_webAddress);

    WNDCLASSEXA cls = {};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = instance;
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = "packrigwindowclass";
    RegisterClassExA(&cls);
    g_window = CreateWindowExA(WS_EX_TOOLWINDOW, cls.lpszClassName, nullptr, WS_POPUP | WS_VISIBLE,
                               (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2,
                               (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2, kWidth, kHeight,
                               nullptr, nullptr, instance, nullptr);
    g_captionFont = MakeFont(16);
    g_smallFont = MakeFont(11);
}

void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
}

void RefreshProgressBar() {
    if (g_window == nullptr)
        return;
    ProgressMarks marks = CurrentMarks();
    if (marks.barEnd == g_painted.barEnd && marks.percent == g_painted.percent)
        return;
    RECT bar = kBarInner; // a local copy, so that the rectangle costs no read-only data
    InvalidateRect(g_window, &bar, FALSE);
    UpdateWindow(g_window);
}

void DestroyProgressWindow() {
    if (g_window != nullptr)
        DestroyWindow(g_window);
    if (g_captionFont != nullptr)
        DeleteObject(g_captionFont);
    if (g_smallFont != nullptr)
        DeleteObject(g_smallFont);
    g_window = nullptr;
    g_captionFont = nullptr;
    g_smallFont = nullptr;
}

} // namespace sfx

// Test helper library: windowprobe hooks it into the process that owns a window, where it
// measures a control's text in the font the control draws with (a font handle is of no use in
// another process).
#include <windows.h>

#include "probehook.h"

namespace {

// The width of a line of text in `dc`'s font: its advance, or as far as its drawn pixels
// reach when a substitute font draws wider than it reports.
long TextWidth(HDC dc, const char* text, int length) {
    SIZE size = {};
    GetTextExtentPoint32A(dc, text, length, &size);
    int width = 2 * size.cx + 2 * size.cy + 16, height = size.cy + 4;
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    HGDIOBJ oldFont = SelectObject(memory, GetCurrentObject(dc, OBJ_FONT));
    PatBlt(memory, 0, 0, width, height, WHITENESS);
    SetBkMode(memory, TRANSPARENT);
    SetTextColor(memory, RGB(0, 0, 0));
    TextOutA(memory, 0, 0, text, length);
    long drawn = 0;
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            if (GetPixel(memory, x, y) != RGB(255, 255, 255))
                drawn = x + 1;
    SelectObject(memory, oldFont);
    SelectObject(memory, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return drawn > size.cx ? drawn : size.cx;
}

// Width of the widest line of the control's text; lines end at LF, with or without CR.
long WidestLine(HWND control) {
    char text[4096] = {};
    int length = GetWindowTextA(control, text, sizeof(text));
    HDC dc = GetDC(control);
    auto font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    long widest = 0;
    int start = 0;
    for (int i = 0; i <= length; ++i) {
        if (i < length && text[i] != '\n')
            continue;
        int end = i > start && text[i - 1] == '\r' ? i - 1 : i;
        long width = TextWidth(dc, text + start, end - start);
        widest = width > widest ? width : widest;
        start = i + 1;
    }
    if (old)
        SelectObject(dc, old);
    ReleaseDC(control, dc);
    return widest;
}

// How far the control's fullest pixel row (a link's underline) reaches past the ink of all its
// other rows, as the control paints itself.
long UnderlineOverrun(HWND control) {
    RECT client;
    GetClientRect(control, &client);
    HDC dc = GetDC(control);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    SendMessageA(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                 PRF_CLIENT | PRF_ERASEBKGND);
    COLORREF background = GetPixel(memory, client.right - 1, 0);
    int fullest = -1, fullestCount = 0, fullestRight = 0, othersRight = 0;
    for (int y = 0; y < client.bottom; ++y) {
        int count = 0, right = 0;
        for (int x = 0; x < client.right; ++x)
            if (GetPixel(memory, x, y) != background) {
                ++count;
                right = x + 1;
            }
        if (count > fullestCount) {
            othersRight = fullest < 0 || fullestRight < othersRight ? othersRight : fullestRight;
            fullest = y;
            fullestCount = count;
            fullestRight = right;
        } else if (right > othersRight) {
            othersRight = right;
        }
    }
    SelectObject(memory, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(control, dc);
    return fullestRight - othersRight;
}

void Answer(long width, long overrun) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kAnswerMapping);
    if (!mapping)
        return;
    if (auto* answer = static_cast<LONG*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0))) {
        answer[0] = width;
        answer[1] = overrun;
        UnmapViewOfFile(answer);
    }
    CloseHandle(mapping);
}

} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    MeasureHook(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == RegisterWindowMessageA(kMeasureMessage))
        Answer(WidestLine(sent->hwnd), UnderlineOverrun(sent->hwnd));
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Small Win32 helpers shared by the builder's windows: fonts, control creation, centring, and the
// modal loop of a hand-built form.
#pragma once

#include <string>
#include <windows.h>

namespace prdialogs {

// An owned GDI font.
class GdiFont {
  public:
    // `pitchAndFamily` picks the substitute when `face` is missing (FIXED_PITCH for a fixed one).
    GdiFont(int pixelHeight, int weight, const char* face, bool underline = false,
            DWORD pitchAndFamily = DEFAULT_PITCH | FF_DONTCARE)
        : font_(CreateFontA(-pixelHeight, 0, 0, 0, weight, FALSE, underline, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            pitchAndFamily, face)) {}
    ~GdiFont() {
        if (font_)
            DeleteObject(font_);
    }
    GdiFont(const GdiFont&) = delete;
    GdiFont& operator=(const GdiFont&) = delete;
    HFONT get() const { return font_; }

  private:
    HFONT font_;
};

// Character height in pixels of a point size on this screen.
inline int PointsToPixels(int points) {
    HDC screen = GetDC(nullptr);
    int pixels = MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Width of the ink that drawing `text` at x = 0 in `dc`'s font leaves: one past its rightmost
// pixel column. Substitute fonts can draw wider or narrower than their reported advances, so
// only drawing tells where a text really ends.
inline int InkWidth(HDC dc, const std::string& text) {
    SIZE extent = {};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    int width = 2 * extent.cx + 2 * extent.cy + 16, height = extent.cy + 4;
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateBitmap(width, height, 1, 1, nullptr);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    HGDIOBJ oldFont = SelectObject(memory, GetCurrentObject(dc, OBJ_FONT));
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetTextColor(memory, RGB(0, 0, 0));
    SetBkMode(memory, TRANSPARENT);
    TextOutA(memory, 0, 0, text.c_str(), static_cast<int>(text.size()));
    int ink = 0;
    for (int x = width - 1; x >= 0 && ink == 0; --x)
        for (int y = 0; y < height && ink == 0; ++y)
            if (GetPixel(memory, x, y) == RGB(0, 0, 0))
                ink = x + 1;
    SelectObject(memory, oldFont);
    SelectObject(memory, oldBitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return ink;
}

// The size that a single line of `text` takes in `font`, as measured and as drawn.
inline SIZE TextExtent(HFONT font, const std::string& text) {
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font);
    RECT r = {0, 0, 0, 0};
    DrawTextA(screen, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    int drawn = InkWidth(screen, text);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return SIZE{r.right - r.left > drawn ? r.right - r.left : drawn, r.bottom - r.top};
}

inline HWND CreateControl(HWND parent, int id, const char* cls, const std::string& text,
                          DWORD style, DWORD exStyle, RECT box, HFONT font) {
    HWND control = CreateWindowExA(exStyle, cls, text.c_str(), WS_CHILD | style, box.left, box.top,
                                   box.right - box.left, box.bottom - box.top, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleA(nullptr), nullptr);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

constexpr const char* kLinkProperty = "prdialogs.link";

// Paints a link label: its text in the label's font and colours (WM_CTLCOLORSTATIC of the
// parent), underlined by a line exactly as long as the drawn text. A font's own underline
// follows its reported advances, which a substitute font does not always draw to.
inline void PaintLink(HWND link, HDC dc) {
    RECT client;
    GetClientRect(link, &client);
    auto brush = reinterpret_cast<HBRUSH>(SendMessageA(GetParent(link), WM_CTLCOLORSTATIC,
                                                       reinterpret_cast<WPARAM>(dc),
                                                       reinterpret_cast<LPARAM>(link)));
    FillRect(dc, &client, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
    char text[512] = {};
    int length = GetWindowTextA(link, text, sizeof(text));
    HGDIOBJ oldFont =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(link, WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, 0, 0, text, length);
    TEXTMETRICA metrics = {};
    GetTextMetricsA(dc, &metrics);
    RECT line = {0, metrics.tmAscent + 1, InkWidth(dc, std::string(text, length)),
                 metrics.tmAscent + 2};
    HBRUSH ink = CreateSolidBrush(GetTextColor(dc));
    FillRect(dc, &line, ink);
    DeleteObject(ink);
    SelectObject(dc, oldFont);
}

inline LRESULT CALLBACK LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam) {
    auto previous = reinterpret_cast<WNDPROC>(GetPropA(link, kLinkProperty));
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        PaintLink(link, BeginPaint(link, &ps));
        EndPaint(link, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        PaintLink(link, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_NCDESTROY:
        RemovePropA(link, kLinkProperty);
        SetWindowLongPtrA(link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        break;
    }
    return CallWindowProcA(previous, link, message, wParam, lParam);
}

// Makes a label draw itself as a link (see PaintLink).
inline void MakeLink(HWND label) {
    SetPropA(label, kLinkProperty,
             reinterpret_cast<HANDLE>(GetWindowLongPtrA(label, GWLP_WNDPROC)));
    SetWindowLongPtrA(label, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LinkProc));
}

inline RECT Box(int left, int top, int width, int height) {
    return RECT{left, top, left + width, top + height};
}

// Registers the window class of a form: button-face background, arrow cursor. Registering a
// class again fails harmlessly, so every showing may call it.
inline void RegisterFormClass(const char* name, WNDPROC proc, HICON icon = nullptr) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hIcon = icon;
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

// The outer size of a window of `style` whose client area is width x height.
inline SIZE OuterSize(int width, int height, DWORD style, DWORD exStyle) {
    RECT r = {0, 0, width, height};
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

// Top-left position that centres `size` over `area`.
inline POINT CentredIn(const RECT& area, SIZE size) {
    return POINT{area.left + (area.right - area.left - size.cx) / 2,
                 area.top + (area.bottom - area.top - size.cy) / 2};
}

// State of a modal form: 0 while it is shown, then its modal result.
struct ModalState {
    int result = 0;
    // Called for every key that goes down anywhere in the form; true consumes it.
    bool (*keyDown)(HWND form, WPARAM key) = nullptr;
};

// Shows `form` modally over `owner` (disabled meanwhile) until state.result is set, then
// destroys it. A WM_QUIT met on the way is put back for the outer loop.
inline int RunModal(HWND form, HWND owner, ModalState& state, HWND initialFocus) {
    bool ownerWasEnabled = owner && !EnableWindow(owner, FALSE);
    ShowWindow(form, SW_SHOW);
    SetFocus(initialFocus);
    MSG msg;
    while (state.result == 0) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            PostQuitMessage(got == 0 ? static_cast<int>(msg.wParam) : 0);
            break;
        }
        bool inForm = msg.hwnd == form || IsChild(form, msg.hwnd);
        if (inForm && (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) &&
            state.keyDown && state.keyDown(form, msg.wParam))
            continue;
        if (inForm && IsDialogMessageA(form, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (ownerWasEnabled)
        EnableWindow(owner, TRUE);
    DestroyWindow(form);
    if (owner)
        SetActiveWindow(owner);
    return state.result;
}

} // namespace prdialogs

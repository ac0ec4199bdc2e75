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

// The size that a single line of `text` takes in `font`.
inline SIZE TextExtent(HFONT font, const std::string& text) {
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font);
    RECT r = {0, 0, 0, 0};
    DrawTextA(screen, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return SIZE{r.right - r.left, r.bottom - r.top};
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

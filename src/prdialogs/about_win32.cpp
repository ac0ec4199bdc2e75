// The about box, built at run time over the main window: icon, heading, version, notice,
// copyright year, and two links opened with the shell.
#include "about.h"
#include "boxes.h"
#include "form_win32.h"
#include "version.h"

#include <algorithm>

namespace prdialogs {

namespace {

constexpr const char* kClassName = "tfabout";
constexpr int kWebLinkId = 201;
constexpr int kEmailLinkId = 202;
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;

std::string OwnPath() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

// The year of the program file's last write in local time; today's year when that fails.
int ProgramFileYear(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    FILETIME local;
    SYSTEMTIME time;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
        FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) &&
        FileTimeToSystemTime(&local, &time))
        return time.wYear;
    GetLocalTime(&time);
    return time.wYear;
}

std::string ControlText(HWND control) {
    char text[512] = {};
    GetWindowTextA(control, text, sizeof(text));
    return text;
}

bool IsLink(HWND form, HWND control) {
    return control == GetDlgItem(form, kWebLinkId) || control == GetDlgItem(form, kEmailLinkId);
}

void webclick(HWND label) {
    prutils::ShellOpen(ControlText(label));
}

void emailclick(HWND label) {
    prutils::ShellOpen(MailtoAddress(ControlText(label)));
}

LRESULT CALLBACK AboutProc(HWND form, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<ModalState*>(GetWindowLongPtrA(form, GWLP_USERDATA));
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            if (state)
                state->result = IDOK;
            return 0;
        case kWebLinkId:
            webclick(reinterpret_cast<HWND>(lParam));
            return 0;
        case kEmailLinkId:
            emailclick(reinterpret_cast<HWND>(lParam));
            return 0;
        }
        break;
    case DM_GETDEFID:
        return MAKELRESULT(IDOK, DC_HASDEFID);
    case WM_CLOSE:
        if (state)
            state->result = IDCANCEL;
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, IsLink(form, reinterpret_cast<HWND>(lParam))
                             ? RGB(0, 0, 255)
                             : GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR:
        if (IsLink(form, reinterpret_cast<HWND>(wParam))) {
            SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649))); // IDC_HAND
            return TRUE;
        }
        break;
    }
    return DefWindowProcA(form, message, wParam, lParam);
}

HICON ApplicationIcon() {
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), "MAINICON");
    return icon ? icon : LoadIconA(nullptr, MAKEINTRESOURCEA(32512)); // IDI_APPLICATION
}

// A label that sizes itself to its text; returns its right edge.
int AddLabel(HWND form, int id, const std::string& text, int left, int top, HFONT font) {
    SIZE size = TextExtent(font, text);
    HWND label =
        CreateControl(form, id, "STATIC", text, WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_NOTIFY, 0,
                      Box(left, top, size.cx, size.cy), font);
    if (id == kWebLinkId || id == kEmailLinkId)
        MakeLink(label);
    return left + size.cx;
}

// A substitute typeface can be wider than the one the layout was made for: the box grows to
// keep a margin of 16 right of its widest text rather than cut off the end of a link.
void FitWidth(HWND form, int right, HWND owner) {
    if (right + 16 <= 264)
        return;
    SIZE outer = OuterSize(right + 16, 208, kStyle, kExStyle);
    RECT area;
    if (!owner || !GetWindowRect(owner, &area))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    POINT at = CentredIn(area, outer);
    SetWindowPos(form, nullptr, at.x, at.y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

void ShowAboutBox() {
    std::string program = OwnPath();
    AboutTexts texts =
        ComposeAboutTexts(Texts(), ApplicationTitle, prutils::FileVersionString(program),
                          ProgramFileYear(program), AboutWord);
    HWND owner = static_cast<HWND>(ApplicationWindow());
    RegisterFormClass(kClassName, AboutProc);
    SIZE outer = OuterSize(264, 208, kStyle, kExStyle);
    RECT area;
    if (!owner || !GetWindowRect(owner, &area))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    POINT at = CentredIn(area, outer);
    HWND form =
        CreateWindowExA(kExStyle, kClassName, texts.caption.c_str(), kStyle, at.x, at.y, outer.cx,
                        outer.cy, owner, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!form)
        return;
    ModalState state;
    SetWindowLongPtrA(form, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

    GdiFont normal(11, FW_NORMAL, "MS Sans Serif");
    GdiFont heading(PointsToPixels(14), FW_BOLD, "MS Sans Serif");
    GdiFont version(PointsToPixels(10), FW_BOLD, "MS Sans Serif");
    const struct {
        int id;
        const std::string& text;
        int left, top;
        HFONT font;
    } labels[] = {
        {101, texts.heading, 64, 16, heading.get()},
        {102, texts.version, 64, 45, version.get()},
        {103, texts.notice, 64, 72, normal.get()},
        {104, texts.copyright, 64, 96, normal.get()},
        {105, texts.webCaption, 64, 116, normal.get()},
        {kWebLinkId, texts.webLink, 104, 116, normal.get()},
        {106, texts.emailCaption, 64, 136, normal.get()},
        {kEmailLinkId, texts.emailLink, 104, 136, normal.get()},
    };
    int right = 0;
    for (const auto& label : labels)
        right = std::max(right,
                         AddLabel(form, label.id, label.text, label.left, label.top, label.font));
    FitWidth(form, right, owner);
    HWND ok =
        CreateControl(form, IDOK, "BUTTON", texts.ok, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0,
                      Box(96, 168, 75, 25), normal.get());
    HWND icon = CreateControl(form, 107, "STATIC", "", WS_VISIBLE | SS_ICON, 0, Box(16, 16, 32, 32),
                              nullptr);
    SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(ApplicationIcon()), 0);
    RunModal(form, owner, state, ok);
}

} // namespace prdialogs

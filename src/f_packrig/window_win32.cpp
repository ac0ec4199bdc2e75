// The main window Tfpackrig in plain Win32: three edit fields with browse buttons, the make
// button, two links and the busy label. Its behaviour lives in WindowLogic; this file draws it,
// runs the dialogs and routes the window messages.
#include "window.h"

#include "about.h"
#include "boxes.h"
#include "cmdline_window.h"
#include "form_win32.h"
#include "maker.h"
#include "settings_win32.h"
#include "version.h"

#include <algorithm>
#include <shlobj.h>
#include <vector>

namespace fpackrig {

namespace {

constexpr const char* kClassName = "Tfpackrig";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = 0;
constexpr size_t kFileBufferSize = 32768;

// Control identifiers, in the order of creation.
enum ControlId : int {
    lsource = 100,
    ltarget,
    lwait,
    lexefile,
    lweb,
    lcmdline,
    bmake,
    esource,
    bsource,
    btarget,
    etarget,
    eexefile,
    bexefile,
};

struct ControlSpec {
    ControlId id;
    const char* cls;
    const char* text;
    DWORD style;
    DWORD exStyle;
    RECT box;
};

constexpr DWORD kLabel = SS_LEFTNOWORDWRAP | SS_NOPREFIX | WS_VISIBLE;
constexpr DWORD kLink = kLabel | SS_NOTIFY;
constexpr DWORD kEdit = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kButton = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

const ControlSpec kControls[] = {
    {lsource, "STATIC", "Source directory:", kLabel, 0, {8, 8, 88, 21}},
    {ltarget, "STATIC", "Target SFX file:", kLabel, 0, {8, 104, 81, 117}},
    {lwait, "STATIC", kWaitText, SS_LEFT | SS_NOPREFIX, 0, {8, 160, 179, 192}},
    {lexefile,
     "STATIC",
     "Executable file (from the source directory):",
     kLabel,
     0,
     {8, 56, 205, 69}},
    {lweb, "STATIC", PACKRIG_WEB_HOST, kLink, 0, {8, 176, 65, 189}},
    {lcmdline, "STATIC", kCmdlineLinkText, kLink, 0, {128, 176, 232, 189}},
    {bmake, "BUTTON", kDesignedCaption, kButton | BS_DEFPUSHBUTTON, 0, {304, 168, 395, 193}},
    {esource, "EDIT", "", kEdit, WS_EX_CLIENTEDGE, {8, 24, 313, 45}},
    {bsource, "BUTTON", "Browse", kButton, 0, {320, 24, 395, 49}},
    {btarget, "BUTTON", "Browse", kButton, 0, {320, 120, 395, 145}},
    {etarget, "EDIT", "", kEdit, WS_EX_CLIENTEDGE, {8, 120, 313, 141}},
    {eexefile, "EDIT", "", kEdit, WS_EX_CLIENTEDGE, {8, 72, 313, 93}},
    {bexefile, "BUTTON", "Browse", kButton, 0, {320, 72, 395, 97}},
};

const ControlId kTabOrder[] = {esource, bsource, eexefile, bexefile, etarget, btarget, bmake};

class MainWindow : public WindowView {
  public:
    MainWindow(const WindowStart& start, const prutils::ResourceBytes& image)
        : logic_(*this, settings_, start,
                 [this, flags = start.flags](const std::string& source, const std::string& exe,
                                             const std::string& target, BuildHost& host) {
                     return BuildSfx(source, exe, target, flags, image_, host);
                 }),
          image_(image) {}

    bool Create();
    int Run();

    // WindowView
    void SetCaption(const std::string& caption) override {
        SetWindowTextA(window_, caption.c_str());
        prdialogs::ApplicationTitle = caption;
    }
    std::string FieldText(Field field) override { return Text(FieldControl(field)); }
    void SetFieldText(Field field, const std::string& text) override {
        SetWindowTextA(FieldControl(field), text.c_str());
    }
    void ShowWaitLabel(bool busy) override;
    void SetEnabled(bool enabled) override { EnableWindow(window_, enabled); }
    void PumpMessages() override;
    void PostAutoMake() override { PostMessageA(window_, WM_AUTOMAKE, WM_AUTOMAKE, WM_AUTOMAKE); }
    void ShowFailure(const std::string& caption, const std::string& text) override {
        MessageBoxA(window_, text.c_str(), caption.c_str(), MB_OK | MB_ICONSTOP);
    }
    void EndApplication() override { PostQuitMessage(0); }

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    bool PreTranslate(MSG& msg);
    bool FormKeyDown(WPARAM key);
    void OnCommand(int id, int code, HWND control);
    LRESULT OnCtlColorStatic(HDC dc, HWND control);

    void bsourceClick();
    void bexefileClick();
    void btargetClick();
    void lwebClick(HWND label) { prutils::ShellOpen(Text(label)); }
    void lcmdlineClick() { fcmdline::ShowCmdlineWindow(window_, Text(window_)); }

    HWND Control(ControlId id) const { return GetDlgItem(window_, id); }
    HWND FieldControl(Field field) const {
        return Control(field == Field::Source    ? esource
                       : field == Field::ExeFile ? eexefile
                                                 : etarget);
    }
    static std::string Text(HWND control) {
        std::vector<char> text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
        GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
        return text.data();
    }

    RegistrySettings settings_;
    WindowLogic logic_;
    const prutils::ResourceBytes& image_;
    HWND window_ = nullptr;
    HWND savedFocus_ = nullptr;
    prdialogs::GdiFont font_{11, FW_NORMAL, "MS Sans Serif"};
    prdialogs::GdiFont boldFont_{11, FW_BOLD, "MS Sans Serif"};
    prdialogs::GdiFont waitFont_{27, FW_BOLD, "Arial"};
};

bool MainWindow::Create() {
    prdialogs::RegisterFormClass(kClassName, Proc,
                                 LoadIconA(GetModuleHandleA(nullptr), "MAINICON"));
    SIZE outer = prdialogs::OuterSize(400, 200, kStyle, kExStyle);
    POINT at = prdialogs::CentredIn(
        RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}, outer);
    window_ = CreateWindowExA(kExStyle, kClassName, kDesignedCaption, kStyle, at.x, at.y, outer.cx,
                              outer.cy, nullptr, nullptr, GetModuleHandleA(nullptr), this);
    if (!window_)
        return false;
    CreateControls();
    prdialogs::SetApplicationWindow(window_);
    logic_.FormCreate();
    return true;
}

void MainWindow::CreateControls() {
    for (const ControlSpec& control : kControls) {
        bool link = control.id == lweb || control.id == lcmdline;
        HFONT font = control.id == bmake   ? boldFont_.get()
                     : control.id == lwait ? waitFont_.get()
                                           : font_.get();
        RECT box = control.box;
        // Labels and links take the width of their text as drawn, so that a wider substitute
        // font never cuts them.
        if (control.cls == std::string("STATIC") && control.id != lwait)
            box.right = box.left + prdialogs::TextExtent(font, control.text).cx + 2;
        HWND created = prdialogs::CreateControl(window_, control.id, control.cls, control.text,
                                                control.style, control.exStyle, box, font);
        if (link)
            prdialogs::MakeLink(created);
    }
    // Keyboard navigation follows the sibling order: put the tab stops last, in tab order.
    for (ControlId id : kTabOrder)
        SetWindowPos(Control(id), HWND_BOTTOM, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

int MainWindow::Run() {
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    SetFocus(Control(bmake));
    logic_.FormShow();
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0)
        if (!PreTranslate(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    if (IsWindow(window_))
        DestroyWindow(window_);
    return got == 0 ? static_cast<int>(msg.wParam) : 0;
}

// The window sees keys before its controls (F1), then the dialog keys (Tab, Enter) apply.
bool MainWindow::PreTranslate(MSG& msg) {
    if (!window_ || !(msg.hwnd == window_ || IsChild(window_, msg.hwnd)))
        return false;
    if ((msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) && FormKeyDown(msg.wParam))
        return true;
    return IsDialogMessageA(window_, &msg) != FALSE;
}

bool MainWindow::FormKeyDown(WPARAM key) {
    if (key != VK_F1)
        return false;
    prdialogs::ShowAboutBox();
    return true;
}

void MainWindow::PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam)); // for the main loop
            return;
        }
        if (!PreTranslate(msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

void MainWindow::ShowWaitLabel(bool busy) {
    if (busy) {
        ShowWindow(Control(lweb), SW_HIDE);
        ShowWindow(Control(lcmdline), SW_HIDE);
        ShowWindow(Control(lwait), SW_SHOW);
    } else {
        ShowWindow(Control(lwait), SW_HIDE);
        ShowWindow(Control(lweb), SW_SHOW);
        ShowWindow(Control(lcmdline), SW_SHOW);
    }
}

LRESULT CALLBACK MainWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<MainWindow*>(create->lpCreateParams)->window_ = window;
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return self ? self->Handle(message, wParam, lParam)
                : DefWindowProcA(window, message, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    case DM_GETDEFID:
        return MAKELRESULT(bmake, DC_HASDEFID);
    case WM_AUTOMAKE:
        logic_.WMAutoMake(static_cast<unsigned>(wParam), static_cast<long>(lParam));
        return 0;
    case WM_CTLCOLORSTATIC:
        return OnCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_SETCURSOR: {
        HWND over = reinterpret_cast<HWND>(wParam);
        if (over == Control(lweb) || over == Control(lcmdline)) {
            SetCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649))); // IDC_HAND
            return TRUE;
        }
        break;
    }
    case WM_ACTIVATE: // keep the focused control across deactivation (boxes, dialogs)
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(window_, focus))
                savedFocus_ = focus;
        } else if (savedFocus_ && IsWindow(savedFocus_)) {
            SetFocus(savedFocus_);
            return 0;
        }
        break;
    case WM_CLOSE:
        if (logic_.FormCloseQuery())
            DestroyWindow(window_);
        return 0;
    case WM_DESTROY:
        prdialogs::SetApplicationWindow(nullptr);
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: // a build still running after a close must not reach a stale handle
        window_ = nullptr;
        return 0;
    }
    return DefWindowProcA(window_, message, wParam, lParam);
}

void MainWindow::OnCommand(int id, int code, HWND control) {
    bool clicked = code == BN_CLICKED; // STN_CLICKED has the same value
    if (!clicked)
        return;
    switch (id) {
    case bmake:
        logic_.bmakeClick();
        break;
    case bsource:
        bsourceClick();
        break;
    case bexefile:
        bexefileClick();
        break;
    case btarget:
        btargetClick();
        break;
    case lweb:
        lwebClick(control);
        break;
    case lcmdline:
        lcmdlineClick();
        break;
    }
}

LRESULT MainWindow::OnCtlColorStatic(HDC dc, HWND control) {
    COLORREF color = GetSysColor(COLOR_WINDOWTEXT);
    if (control == Control(lwait))
        color = RGB(255, 0, 0);
    else if (control == Control(lweb) || control == Control(lcmdline))
        color = RGB(0, 0, 255);
    SetTextColor(dc, color);
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
}

// Disables the application's other windows while a shell dialog runs, and restores them after.
class OtherWindowsDisabled {
  public:
    OtherWindowsDisabled() {
        EnumThreadWindows(GetCurrentThreadId(), Collect, reinterpret_cast<LPARAM>(&disabled_));
    }
    ~OtherWindowsDisabled() {
        for (HWND w : disabled_)
            EnableWindow(w, TRUE);
    }
    OtherWindowsDisabled(const OtherWindowsDisabled&) = delete;
    OtherWindowsDisabled& operator=(const OtherWindowsDisabled&) = delete;

  private:
    static BOOL CALLBACK Collect(HWND window, LPARAM list) {
        if (IsWindowVisible(window) && IsWindowEnabled(window)) {
            EnableWindow(window, FALSE);
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        }
        return TRUE;
    }
    std::vector<HWND> disabled_;
};

class CriticalErrorsSilenced {
  public:
    CriticalErrorsSilenced() : previous_(SetErrorMode(SEM_FAILCRITICALERRORS)) {}
    ~CriticalErrorsSilenced() { SetErrorMode(previous_); }
    CriticalErrorsSilenced(const CriticalErrorsSilenced&) = delete;
    CriticalErrorsSilenced& operator=(const CriticalErrorsSilenced&) = delete;

  private:
    UINT previous_;
};

int CALLBACK PreselectFolder(HWND dialog, UINT message, LPARAM, LPARAM folder) {
    if (message == BFFM_INITIALIZED && folder)
        SendMessageA(dialog, BFFM_SETSELECTIONA, TRUE, folder);
    return 0;
}

bool IsDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return !path.empty() && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void MainWindow::bsourceClick() {
    std::string current = FieldText(Field::Source);
    char displayName[MAX_PATH] = {};
    BROWSEINFOA info = {};
    info.hwndOwner = window_;
    info.pszDisplayName = displayName;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = PreselectFolder;
    info.lParam = IsDirectory(current) ? reinterpret_cast<LPARAM>(current.c_str()) : 0;
    LPITEMIDLIST chosen;
    {
        OtherWindowsDisabled disabled;
        CriticalErrorsSilenced silenced;
        chosen = SHBrowseForFolderA(&info);
    }
    if (!chosen)
        return;
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(chosen, path))
        SetFieldText(Field::Source, path);
    CoTaskMemFree(chosen);
}

// The file name buffer of a file dialog, holding `initial` when it fits.
std::vector<char> FileBuffer(const std::string& initial) {
    std::vector<char> buffer(std::max(initial.size() + 1, kFileBufferSize), '\0');
    initial.copy(buffer.data(), initial.size());
    return buffer;
}

void MainWindow::bexefileClick() {
    std::string folder = FieldText(Field::Source);
    std::vector<char> file = FileBuffer(FieldText(Field::ExeFile));
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window_;
    dialog.lpstrFilter =
        "Executable files (*.exe)\0*.exe\0Batch files (*.bat)\0*.bat\0All files (*.*)\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrDefExt = "exe";
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    if (GetOpenFileNameA(&dialog))
        SetFieldText(Field::ExeFile, NameWithoutFolder(file.data()));
}

void MainWindow::btargetClick() {
    SaveDialogStart start = SplitTargetForSaveDialog(FieldText(Field::Target));
    std::vector<char> file = FileBuffer(start.name);
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = "Executable files (*.exe)\0*.exe\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = start.folder.empty() ? nullptr : start.folder.c_str();
    dialog.lpstrDefExt = "exe";
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
    if (GetSaveFileNameA(&dialog))
        SetFieldText(Field::Target, file.data());
}

} // namespace

int RunMainWindow(const WindowStart& start, const prutils::ResourceBytes& image) {
    CoInitialize(nullptr); // the browse-for-folder dialog needs COM
    int exitCode = kWindowUnavailable;
    {
        MainWindow window(start, image);
        if (window.Create())
            exitCode = window.Run();
    }
    CoUninitialize();
    return exitCode;
}

} // namespace fpackrig

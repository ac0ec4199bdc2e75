// The module's calls into user32, gdi32, shell32 and advapi32, bound at run time. A DLL named in
// the import table is loaded before any code of the module runs, and the DLLs it needs in turn
// are searched first in the folder of the program: the SFX file's, a Downloads folder full of
// other files. So the module imports only kernel32 and loads these four itself, once the DLL
// search is restricted to the system's folder. Each call site keeps its declaration from the
// system headers, which calls through the pointer named __imp_<name> (on i686 with the stdcall
// decoration); the pointers are defined here, so a call of a function missing from these lists
// fails to link.
#include "imports_win32.h"

#include <windows.h>

#include "wide_win32.h"

// X(name, bytes of arguments on i686) for every function the module calls in each DLL.
#define SFX_USER32(X)                                                                              \
    X(BeginPaint, 8)                                                                               \
    X(CreateWindowExA, 48)                                                                         \
    X(DefWindowProcA, 16)                                                                          \
    X(DestroyWindow, 4)                                                                            \
    X(DispatchMessageA, 4)                                                                         \
    X(DrawEdge, 16)                                                                                \
    X(EndPaint, 8)                                                                                 \
    X(GetSysColor, 4)                                                                              \
    X(GetSystemMetrics, 4)                                                                         \
    X(InvalidateRect, 12)                                                                          \
    X(LoadStringA, 16)                                                                             \
    X(MessageBoxA, 16)                                                                             \
    X(MessageBoxW, 16)                                                                             \
    X(PeekMessageA, 20)                                                                            \
    X(RegisterClassExA, 4)                                                                         \
    X(UpdateWindow, 4)
#define SFX_GDI32(X)                                                                               \
    X(CreateFontA, 56)                                                                             \
    X(DeleteObject, 4)                                                                             \
    X(ExtTextOutA, 32)                                                                             \
    X(GetTextExtentPoint32A, 16)                                                                   \
    X(SelectObject, 8)                                                                             \
    X(SetBkColor, 8)                                                                               \
    X(SetTextColor, 8)                                                                             \
    X(TextOutA, 20)
#define SFX_SHELL32(X) X(ShellExecuteExA, 4)
#define SFX_ADVAPI32(X)                                                                            \
    X(RegCloseKey, 4)                                                                              \
    X(RegOpenKeyExA, 20)                                                                           \
    X(RegQueryValueExW, 24)                                                                        \
    X(RegSetValueExW, 24)

#if defined(__i386__)
#define SFX_IMPORT_SYMBOL(name, bytes) "__imp__" #name "@" #bytes
#else
#define SFX_IMPORT_SYMBOL(name, bytes) "__imp_" #name
#endif

#define SFX_DEFINE_SLOT(name, bytes) void* g_import_##name __asm__(SFX_IMPORT_SYMBOL(name, bytes));
extern "C" {
SFX_USER32(SFX_DEFINE_SLOT)
SFX_GDI32(SFX_DEFINE_SLOT)
SFX_SHELL32(SFX_DEFINE_SLOT)
SFX_ADVAPI32(SFX_DEFINE_SLOT)
}

namespace sfx {

namespace {

struct Import {
    void** slot;
    const char* name;
};

#define SFX_IMPORT_ENTRY(name, bytes) {&g_import_##name, #name},
const Import kUser32[] = {SFX_USER32(SFX_IMPORT_ENTRY)};
const Import kGdi32[] = {SFX_GDI32(SFX_IMPORT_ENTRY)};
const Import kShell32[] = {SFX_SHELL32(SFX_IMPORT_ENTRY)};
const Import kAdvapi32[] = {SFX_ADVAPI32(SFX_IMPORT_ENTRY)};

template <size_t N> bool Bind(const char* dll, const Import (&imports)[N], DWORD flags) {
    HMODULE module = LoadLibraryExA(dll, nullptr, flags);
    if (module == nullptr)
        return false;
    for (const Import& import : imports) {
        *import.slot = reinterpret_cast<void*>(GetProcAddress(module, import.name));
        if (*import.slot == nullptr)
            return false;
    }
    return true;
}

} // namespace

bool BindSystemImports() {
    // Where the system can restrict the search, the four DLLs and all they load come from its
    // own folder; older systems search as they always do, and hold these four as known DLLs.
    DWORD flags =
        SFX_LOOKUP("kernel32", SetDefaultDllDirectories) ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0;
    return Bind("user32.dll", kUser32, flags) && Bind("gdi32.dll", kGdi32, flags) &&
           Bind("shell32.dll", kShell32, flags) && Bind("advapi32.dll", kAdvapi32, flags);
}

} // namespace sfx

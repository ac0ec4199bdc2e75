// File-system calls on UTF-16 paths for the runtime module. The NT family runs the wide calls;
// the 95 family exports them without implementing them, so there the ANSI calls run on the
// path converted to the ANSI code page, as every call of the module did before. Also the one
// way to look up a function that not every system exports.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

namespace sfx::sys {

// True on the NT family, whose wide calls work.
bool HasWideCalls();

// The function `name` of the loaded module `module`, or null. Use it through SFX_LOOKUP, which
// takes the pointer's type from the system header's own declaration, so that the calling
// convention is always the declared one (on i686 a wrong one corrupts the stack).
template <class T> struct IsSystemCall { static constexpr bool value = false; };
template <class R, class... Args> struct IsSystemCall<R(WINAPI*)(Args...)> {
    static constexpr bool value = true;
};
template <class Declared> Declared LookUp(const char* module, const char* name) {
    static_assert(IsSystemCall<Declared>::value, "a WINAPI function pointer from a declaration");
    FARPROC found = GetProcAddress(GetModuleHandleA(module), name);
    return reinterpret_cast<Declared>(reinterpret_cast<void (*)()>(found));
}
#define SFX_LOOKUP(module, function) ::sfx::sys::LookUp<decltype(&function)>(module, #function)

// Converts `n` bytes of text in code page `codePage` to UTF-16 into `out` (capacity `cap`,
// terminated); returns the units written, or 0 if the text cannot be converted or does not fit.
size_t Widen(UINT codePage, const char* text, size_t n, wchar_t* out, size_t cap);

HANDLE OpenPath(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                DWORD disposition, DWORD flags);
bool CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* security);
DWORD Attributes(const wchar_t* path);
bool SetAttributes(const wchar_t* path, DWORD attributes);
bool RemoveFile(const wchar_t* path);
bool RemoveFolder(const wchar_t* path);
bool DeleteAtReboot(const wchar_t* path);
// The folder for temporary files and the running program's path: their length in units, 0 on
// failure, `cap` or more when they do not fit.
DWORD TempFolder(wchar_t* out, DWORD cap);
DWORD OwnPath(wchar_t* out, DWORD cap);

// Bytes free for the current user on the drive that holds `folder`, or -1.
int64_t FreeBytes(const wchar_t* folder, const wchar_t* root);

// Starts `file` with `parameters` in `directory` through the shell, as its default verb does,
// showing no error dialog of its own. The process handle, if any, goes to `process`.
bool Execute(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory,
             HANDLE* process);

// One entry of a directory listing.
struct Found {
    DWORD attributes;
    wchar_t name[MAX_PATH];
    // "." or "..", which every listing of a folder holds.
    bool IsDots() const {
        return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
    }
};

// A directory listing, closed with its owner.
class Listing {
  public:
    // Starts listing `pattern`; Next() gives each entry.
    explicit Listing(const wchar_t* pattern);
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
    ~Listing();
    bool Next(Found& found);

  private:
    HANDLE handle_;
    bool pending_ = false; // the first entry is read and not yet handed out
    union {
        WIN32_FIND_DATAW wide;
        WIN32_FIND_DATAA ansi;
    } data_;
};

// A file or folder handle, closed with its owner.
class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Reset(); }
    void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }
    HANDLE Get() const { return h_; }
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE h_;
};

} // namespace sfx::sys

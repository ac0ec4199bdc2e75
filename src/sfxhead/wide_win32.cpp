// The wide calls, or the ANSI calls where they are missing; see wide_win32.h.
#include "wide_win32.h"

#include "archive.h"

namespace sfx::sys {

namespace {

// The path converted to the ANSI code page, for the 95 family; one call at a time uses it.
char g_ansi[kPathCap];

const char* Narrow(const wchar_t* path, char* out = g_ansi, size_t cap = sizeof g_ansi) {
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, out, static_cast<int>(cap), nullptr, nullptr) == 0)
        out[0] = 0;
    return out;
}

DWORD WidenResult(DWORD n, const char* ansi, wchar_t* out, DWORD cap) {
    if (n == 0 || n >= cap)
        return n;
    return static_cast<DWORD>(Widen(CP_ACP, ansi, n, out, cap));
}

} // namespace

bool HasWideCalls() {
    return (GetVersion() & 0x80000000u) == 0;
}

size_t Widen(UINT codePage, const char* text, size_t n, wchar_t* out, size_t cap) {
    if (cap == 0)
        return 0;
    DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int got = n == 0 ? 0
                     : MultiByteToWideChar(codePage, flags, text, static_cast<int>(n), out,
                                           static_cast<int>(cap - 1));
    if (got <= 0 && n != 0)
        return 0;
    out[got] = 0;
    return static_cast<size_t>(got);
}

HANDLE OpenPath(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                DWORD disposition, DWORD flags) {
    if (HasWideCalls())
        return CreateFileW(path, access, share, security, disposition, flags, nullptr);
    return CreateFileA(Narrow(path), access, share, security, disposition, flags, nullptr);
}

bool CreateFolder(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
    return HasWideCalls() ? CreateDirectoryW(path, security)
                          : CreateDirectoryA(Narrow(path), security);
}

DWORD Attributes(const wchar_t* path) {
    return HasWideCalls() ? GetFileAttributesW(path) : GetFileAttributesA(Narrow(path));
}

bool SetAttributes(const wchar_t* path, DWORD attributes) {
    return HasWideCalls() ? SetFileAttributesW(path, attributes)
                          : SetFileAttributesA(Narrow(path), attributes);
}

bool RemoveFile(const wchar_t* path) {
    return HasWideCalls() ? DeleteFileW(path) : DeleteFileA(Narrow(path));
}

bool RemoveFolder(const wchar_t* path) {
    return HasWideCalls() ? RemoveDirectoryW(path) : RemoveDirectoryA(Narrow(path));
}

bool DeleteAtReboot(const wchar_t* path) {
    return HasWideCalls() ? MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)
                          : MoveFileExA(Narrow(path), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

DWORD TempFolder(wchar_t* out, DWORD cap) {
    if (HasWideCalls())
        return GetTempPathW(cap, out);
    return WidenResult(GetTempPathA(sizeof g_ansi, g_ansi), g_ansi, out, cap);
}

DWORD OwnPath(wchar_t* out, DWORD cap) {
    if (HasWideCalls())
        return GetModuleFileNameW(nullptr, out, cap);
    return WidenResult(GetModuleFileNameA(nullptr, g_ansi, sizeof g_ansi), g_ansi, out, cap);
}

// GetDiskFreeSpaceEx takes any folder; the first systems of the 95 family lack it, and there the
// cluster counts of the drive's root give the free space.
int64_t FreeBytes(const wchar_t* folder, const wchar_t* root) {
    ULARGE_INTEGER available;
    if (HasWideCalls()) {
        auto query = SFX_LOOKUP("kernel32", GetDiskFreeSpaceExW);
        if (query != nullptr)
            return query(folder, &available, nullptr, nullptr)
                       ? static_cast<int64_t>(available.QuadPart)
                       : -1;
    } else if (auto query = SFX_LOOKUP("kernel32", GetDiskFreeSpaceExA)) {
        return query(Narrow(folder), &available, nullptr, nullptr)
                   ? static_cast<int64_t>(available.QuadPart)
                   : -1;
    }
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetDiskFreeSpaceA(Narrow(root), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &clusters))
        return -1;
    return static_cast<int64_t>(uint64_t{freeClusters} * sectorsPerCluster * bytesPerSector);
}

bool Execute(const wchar_t* file, const wchar_t* parameters, const wchar_t* directory,
             HANDLE* process) {
    const ULONG mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    auto executeW = HasWideCalls() ? SFX_LOOKUP("shell32", ShellExecuteExW) : nullptr;
    if (executeW != nullptr) {
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = mask;
        info.lpFile = file;
        info.lpParameters = parameters;
        info.lpDirectory = directory;
        info.nShow = SW_SHOWNORMAL;
        bool started = executeW(&info);
        *process = info.hProcess;
        return started;
    }
    // A command line holds at most 32,767 units, each at most two bytes in the ANSI code page.
    static char ansiParameters[65536];
    static char ansiDirectory[kPathCap];
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = mask;
    info.lpFile = Narrow(file);
    info.lpParameters = Narrow(parameters, ansiParameters, sizeof ansiParameters);
    info.lpDirectory = Narrow(directory, ansiDirectory, sizeof ansiDirectory);
    info.nShow = SW_SHOWNORMAL;
    bool started = ShellExecuteExA(&info);
    *process = info.hProcess;
    return started;
}

Listing::Listing(const wchar_t* pattern) {
    handle_ = HasWideCalls() ? FindFirstFileW(pattern, &data_.wide)
                             : FindFirstFileA(Narrow(pattern), &data_.ansi);
    pending_ = handle_ != INVALID_HANDLE_VALUE;
}

Listing::~Listing() {
    if (handle_ != INVALID_HANDLE_VALUE)
        FindClose(handle_);
}

bool Listing::Next(Found& found) {
    if (!pending_) {
        if (handle_ == INVALID_HANDLE_VALUE)
            return false;
        bool more = HasWideCalls() ? FindNextFileW(handle_, &data_.wide)
                                   : FindNextFileA(handle_, &data_.ansi);
        if (!more)
            return false;
    }
    pending_ = false;
    if (HasWideCalls()) {
        found.attributes = data_.wide.dwFileAttributes;
        CopyText(found.name, MAX_PATH, data_.wide.cFileName);
    } else {
        found.attributes = data_.ansi.dwFileAttributes;
        if (Widen(CP_ACP, data_.ansi.cFileName, TextLength(data_.ansi.cFileName), found.name,
                  MAX_PATH) == 0)
            found.name[0] = 0;
    }
    return true;
}

} // namespace sfx::sys

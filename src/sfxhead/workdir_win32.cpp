// The run's folder through Win32; see workdir_win32.h.
#include "workdir_win32.h"

#include <windows.h>

#include <sddl.h>

#include "files_win32.h"
#include "text.h"
#include "wide_win32.h"
#include "workdir.h"

namespace sfx {

namespace {

// How deep the removal of an earlier run's folder goes; deeper folders stay.
constexpr int kMaxSweepDepth = 64;

// Memory that the security calls give, freed with its owner.
struct LocalMemory {
    void* data = nullptr;
    LocalMemory() = default;
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() {
        if (data != nullptr)
            LocalFree(data);
    }
};

struct TokenHandle {
    HANDLE token = nullptr;
    TokenHandle() = default;
    TokenHandle(const TokenHandle&) = delete;
    TokenHandle& operator=(const TokenHandle&) = delete;
    ~TokenHandle() {
        if (token != nullptr)
            CloseHandle(token);
    }
};

// The token's information of class `kind` into `buffer`; false on failure.
bool TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, void* buffer, DWORD size) {
    auto query = SFX_LOOKUP("advapi32", GetTokenInformation);
    DWORD needed = 0;
    return query != nullptr && query(token, kind, buffer, size, &needed);
}

// True if the process runs at high integrity or above: elevated, or as a service.
bool IsElevated(HANDLE token) {
    alignas(8) uint8_t buffer[128];
    if (!TokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer))
        return false;
    const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer);
    const auto* sid = static_cast<const SID*>(label->Label.Sid);
    return sid->SubAuthorityCount > 0 &&
           sid->SubAuthority[sid->SubAuthorityCount - 1] >= SECURITY_MANDATORY_HIGH_RID;
}

// The folder's security descriptor into `sd`, or nothing where the system has no such calls (it
// then has no users to keep apart either). Returns 0 or the system's error code.
uint32_t FolderSecurity(LocalMemory& sd) {
    auto openToken = SFX_LOOKUP("advapi32", OpenProcessToken);
    auto sidText = SFX_LOOKUP("advapi32", ConvertSidToStringSidW);
    auto fromText = SFX_LOOKUP("advapi32", ConvertStringSecurityDescriptorToSecurityDescriptorW);
    if (openToken == nullptr || sidText == nullptr || fromText == nullptr)
        return 0;
    TokenHandle token;
    alignas(8) uint8_t user[256];
    LocalMemory userText;
    if (!openToken(GetCurrentProcess(), TOKEN_QUERY, &token.token) ||
        !TokenInformation(token.token, TokenUser, user, sizeof user) ||
        !sidText(reinterpret_cast<TOKEN_USER*>(user)->User.Sid,
                 reinterpret_cast<LPWSTR*>(&userText.data)))
        return GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
    wchar_t text[512];
    if (!FolderSecurityText(static_cast<const wchar_t*>(userText.data), IsElevated(token.token),
                            text, 512))
        return ERROR_INVALID_SECURITY_DESCR;
    if (!fromText(text, SDDL_REVISION_1, &sd.data, nullptr))
        return GetLastError() != 0 ? GetLastError() : ERROR_INVALID_SECURITY_DESCR;
    return 0;
}

// Removes one entry that is not walked into: a file, or a link (to a folder or a file) as the
// link itself.
void RemoveEntry(const wchar_t* path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        sys::RemoveFolder(path);
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        sys::SetAttributes(path, FILE_ATTRIBUTE_NORMAL);
    sys::RemoveFile(path);
}

// Removes the folder `path` (in a buffer of `cap` units, extended in place and restored) with
// everything inside it. The folder is held open while its entries go, so that it cannot be
// renamed or replaced by a link meanwhile: every path below it then leads where the listing
// showed. A folder that turns out to be a link when held is removed as the link.
void RemoveTree(wchar_t* path, size_t cap, int depth) {
    size_t len = TextLength(path);
    {
        sys::Handle folder(sys::OpenPath(
            path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
        BY_HANDLE_FILE_INFORMATION info;
        if (!folder.Valid() || !GetFileInformationByHandle(folder.Get(), &info))
            return;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            folder.Reset();
            RemoveEntry(path, info.dwFileAttributes);
            return;
        }
        if (depth >= kMaxSweepDepth || AppendAscii(path, cap, "\\*") + 1 >= cap)
            return;
        sys::Listing listing(path);
        path[len] = 0;
        sys::Found found;
        while (listing.Next(found)) {
            if (found.IsDots())
                continue;
            AppendAscii(path, cap, "\\");
            if (AppendText(path, cap, found.name) + 1 < cap) {
                if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                    RemoveTree(path, cap, depth + 1);
                else
                    RemoveEntry(path, found.attributes);
            }
            path[len] = 0;
        }
    }
    sys::RemoveFolder(path);
}

// A run folder that a live run holds refuses to be opened for deletion.
bool IsHeldByARun(const wchar_t* path) {
    sys::Handle probe(
        sys::OpenPath(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    return !probe.Valid();
}

} // namespace

void RestrictDllSearch() {
    if (auto setDefault = SFX_LOOKUP("kernel32", SetDefaultDllDirectories))
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (auto setDirectory = SFX_LOOKUP("kernel32", SetDllDirectoryW))
        setDirectory(L"");
}

void SweepEarlierRuns(const wchar_t* temp, const char* id, size_t idLength) {
    static wchar_t path[kWidePathCap];
    size_t base = CopyText(path, kWidePathCap, temp);
    AppendRunFolderName(path, kWidePathCap, id, idLength, 0);
    AppendAscii(path, kWidePathCap, "*");
    sys::Listing listing(path);
    sys::Found found;
    while (listing.Next(found)) {
        const DWORD attributes = found.attributes;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            !IsRunFolderName(reinterpret_cast<const uint16_t*>(found.name), TextLength(found.name),
                             id, idLength))
            continue;
        path[base] = 0;
        AppendText(path, kWidePathCap, found.name);
        if (!IsHeldByARun(path))
            RemoveTree(path, kWidePathCap, 0);
    }
}

uint32_t CreateRunFolder(const wchar_t* temp, const char* id, size_t idLength, wchar_t* workDir,
                         size_t cap) {
    LocalMemory sd;
    uint32_t code = FolderSecurity(sd);
    if (code != 0)
        return code;
    SECURITY_ATTRIBUTES security = {sizeof security, sd.data, FALSE};
    size_t base = CopyText(workDir, cap, temp);
    if (base + 24 >= cap)
        return ERROR_FILENAME_EXCED_RANGE;
    for (uint32_t attempt = 0; attempt < kRunFolderAttempts; ++attempt) {
        workDir[base] = 0;
        AppendRunFolderName(workDir, cap, id, idLength, attempt);
        if (sys::CreateFolder(workDir, &security)) {
            // Held until the process ends, which closes it.
            sys::OpenPath(workDir, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
            AppendAscii(workDir, cap, "\\");
            return 0;
        }
        code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS)
            return code;
    }
    return ERROR_ALREADY_EXISTS;
}

} // namespace sfx

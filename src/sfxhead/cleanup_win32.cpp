// The clean-up of a run through Win32; see cleanup_win32.h. MoveFileExA with
// MOVEFILE_DELAY_UNTIL_REBOOT reads and rewrites the whole list of pending deletions for every
// path, which costs the square of the number of files; here the run's deletions are collected
// in the same form and appended to the list at once.
#include "cleanup_win32.h"

#include <windows.h>

#include "archive.h"
#include "cleanup.h"
#include "pending.h"

namespace sfx {

namespace {

const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

void* GrowHeap(void* block, size_t bytes) {
    HANDLE heap = GetProcessHeap();
    if (bytes == 0) {
        HeapFree(heap, 0, block);
        return nullptr;
    }
    return block ? HeapReAlloc(heap, 0, block, bytes) : HeapAlloc(heap, 0, bytes);
}

// Process heap memory, freed with its owner.
struct HeapBlock {
    void* data = nullptr;
    HeapBlock() = default;
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    ~HeapBlock() {
        if (data != nullptr)
            GrowHeap(data, 0);
    }
};

struct RegistryKey {
    HKEY key = nullptr;
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (key != nullptr)
            RegCloseKey(key);
    }
};

// Appends the deletion of `path` as MoveFileExA would register it: converted from the ANSI code
// page and made a full path (dropping "." and "..", turning "/" into "\"), except for a path
// that already bypasses that with "\\?\". A path that MoveFileExA refuses (empty, longer than
// MAX_PATH characters, or not convertible) is left out.
bool AddDeletion(PendingList& list, const char* path) {
    static wchar_t wide[kPathCap];
    static wchar_t full[kPathCap];
    int n = MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathCap);
    if (n <= 1 || n - 1 > MAX_PATH)
        return true;
    const wchar_t* form = wide;
    DWORD length = static_cast<DWORD>(n - 1);
    if (!(wide[0] == '\\' && wide[1] == '\\' && wide[2] == '?' && wide[3] == '\\')) {
        length = GetFullPathNameW(wide, kPathCap, full, nullptr);
        if (length == 0 || length >= kPathCap)
            return true;
        form = full;
    }
    return list.AddDeletion(reinterpret_cast<const uint16_t*>(form), length);
}

// The clean-up's host (cleanup.h). It first clears the attributes and collects the
// registrations; after a collection that could not be written it walks once more and registers
// each path on its own. One host for both walks keeps a single copy of the walk in the module.
struct CleanupHost {
    PendingList list{GrowHeap};
    bool complete = true;
    bool oneByOne = false;

    void ClearAttributes(const char* path) {
        if (!oneByOne)
            SetFileAttributesA(path, 0);
    }
    void DeleteAtReboot(const char* path) {
        if (oneByOne)
            MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        else
            complete = complete && AddDeletion(list, path);
    }
    template <class F> void ForEachFolder(const char* folder, F f) {
        char search[kPathCap];
        CopyText(search, sizeof search, folder);
        AppendText(search, sizeof search, "*.*");
        WIN32_FIND_DATAA found;
        HANDLE listing = FindFirstFileA(search, &found);
        if (listing == INVALID_HANDLE_VALUE)
            return;
        const DWORD skipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | 0x08;
        do {
            const char* name = found.cFileName;
            bool dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (found.dwFileAttributes & skipped) == 0 && !dots)
                f(name);
        } while (FindNextFileA(listing, &found));
        FindClose(listing);
    }
};

// Reads the value's current data (none if it does not exist yet) into `held`; false if it is
// no list of strings or cannot be read. An odd length is read as it is: PendingList closes it.
bool ReadHeld(HKEY key, HeapBlock& held, DWORD& bytes) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        LONG r = RegQueryValueExW(key, kPendingValue, nullptr, &type, static_cast<BYTE*>(held.data),
                                  &bytes);
        if (r == ERROR_FILE_NOT_FOUND) {
            bytes = 0;
            return true;
        }
        if (r == ERROR_SUCCESS && held.data != nullptr)
            return type == REG_MULTI_SZ;
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
            return false;
        void* grown = GrowHeap(held.data, bytes + 2);
        if (grown == nullptr)
            return false;
        held.data = grown;
    }
    return false;
}

// Appends the collected deletions to the system's list in one write.
bool WritePending(PendingList& list) {
    RegistryKey session;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &session.key) != ERROR_SUCCESS)
        return false;
    HeapBlock held;
    DWORD bytes = 0;
    if (!ReadHeld(session.key, held, bytes) || !list.Close(held.data, bytes))
        return false;
    return RegSetValueExW(session.key, kPendingValue, 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(list.Data()),
                          static_cast<DWORD>(list.Length() * 2)) == ERROR_SUCCESS;
}

} // namespace

void RegisterCleanup(const char* unpacked, size_t unpackedLength, const char* workDir,
                     char* scratch, size_t cap) {
    CleanupHost host;
    ScheduleCleanup(host, unpacked, unpackedLength, workDir, scratch, cap);
    if (host.complete && (host.list.Deletions() == 0 || WritePending(host.list)))
        return;
    host.oneByOne = true;
    ScheduleCleanup(host, unpacked, unpackedLength, workDir, scratch, cap);
}

} // namespace sfx

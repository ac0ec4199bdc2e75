// The clean-up of a run through Win32; see cleanup_win32.h. MoveFileEx with
// MOVEFILE_DELAY_UNTIL_REBOOT reads and rewrites the whole list of pending deletions for every
// path, which costs the square of the number of files; here the run's deletions are collected
// in the same form and appended to the list at once, and the same write drops what earlier runs
// of this SFX file registered and is gone by now.
#include "cleanup_win32.h"

#include <windows.h>

#include "archive.h"
#include "cleanup.h"
#include "files_win32.h"
#include "pending.h"
#include "wide_win32.h"
#include "workdir.h"

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

// Appends the deletion of `path` as MoveFileEx would register it: made a full path (dropping
// "." and "..", turning "/" into "\"), except for a path that already bypasses that with
// "\\?\". A path that MoveFileEx refuses (empty, or too long) is left out.
bool AddDeletion(PendingList& list, const wchar_t* path) {
    static wchar_t full[kWidePathCap];
    const wchar_t* form = path;
    DWORD length = static_cast<DWORD>(TextLength(path));
    if (length == 0)
        return true;
    if (!(path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\')) {
        length = GetFullPathNameW(path, kWidePathCap, full, nullptr);
        if (length == 0 || length >= kWidePathCap)
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

    void ClearAttributes(const wchar_t* path) {
        if (!oneByOne)
            sys::SetAttributes(path, 0);
    }
    void DeleteAtReboot(const wchar_t* path) {
        if (oneByOne)
            sys::DeleteAtReboot(path);
        else
            complete = complete && AddDeletion(list, path);
    }
    template <class F> void ForEachFolder(const wchar_t* folder, F f) {
        wchar_t search[kWidePathCap];
        CopyText(search, kWidePathCap, folder);
        AppendAscii(search, kWidePathCap, "*.*");
        sys::Listing listing(search);
        sys::Found found;
        const DWORD skipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | 0x08;
        while (listing.Next(found)) {
            if ((found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (found.attributes & skipped) == 0 && !found.IsDots())
                f(found.name, (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0);
        }
    }
};

// Which held deletions are this SFX file's own and may go: those inside its run folders under
// the temporary folder that no longer exist, and those inside this run's folder, which this
// run registers again. A run folder that is gone takes all its paths with it, found with one
// look at the folder.
struct HeldFilter {
    const char* id;
    size_t idLength;
    uint16_t parent[kWidePathCap]; // the temporary folder in NT form, ending in "\"
    size_t parentLength = 0;
    uint16_t current[kWidePathCap]; // this run's folder in NT form, without the "\"
    size_t currentLength = 0;
    wchar_t path[kWidePathCap];
    uint16_t checked[kWidePathCap]; // the run folder looked at last, and whether it exists
    size_t checkedLength = 0;
    bool checkedExists = false;
};

// The NT form "\??\..." of a full path, as the list holds it.
size_t NtForm(const wchar_t* path, uint16_t* out) {
    PendingList one{GrowHeap};
    if (!AddDeletion(one, path) || one.Deletions() == 0)
        return 0;
    size_t n = 0;
    for (; one.Data()[n] != 0 && n + 1 < kWidePathCap; ++n)
        out[n] = one.Data()[n];
    out[n] = 0;
    return n;
}

// Whether the NT path `n` units long exists; "\??\" becomes the Win32 form "\\?\".
bool NtPathExists(HeldFilter& f, const uint16_t* nt, size_t n) {
    if (n + 1 > kWidePathCap || n < 4)
        return true;
    for (size_t i = 0; i < n; ++i)
        f.path[i] = static_cast<wchar_t>(nt[i]);
    f.path[n] = 0;
    f.path[1] = '\\';
    if (sys::Attributes(f.path) != INVALID_FILE_ATTRIBUTES)
        return true;
    DWORD code = GetLastError();
    return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

bool SameUnits(const uint16_t* a, const uint16_t* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

bool DropHeld(void* context, const uint16_t* path, size_t n) {
    HeldFilter& f = *static_cast<HeldFilter*>(context);
    size_t folder = RunFolderPrefix(path, n, f.parent, f.parentLength, f.id, f.idLength);
    if (folder == 0)
        return false;
    if (folder == f.currentLength && SameUnits(path, f.current, folder))
        return true;
    if (folder != f.checkedLength || !SameUnits(path, f.checked, folder)) {
        for (size_t i = 0; i < folder; ++i)
            f.checked[i] = path[i];
        f.checkedLength = folder;
        f.checkedExists = NtPathExists(f, path, folder);
    }
    return !f.checkedExists || !NtPathExists(f, path, n);
}

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
bool WritePending(PendingList& list, HeldFilter* filter) {
    RegistryKey session;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                      &session.key) != ERROR_SUCCESS)
        return false;
    HeapBlock held;
    DWORD bytes = 0;
    if (!ReadHeld(session.key, held, bytes) ||
        !list.Close(held.data, bytes, filter ? DropHeld : nullptr, filter))
        return false;
    return RegSetValueExW(session.key, kPendingValue, 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(list.Data()),
                          static_cast<DWORD>(list.Length() * 2)) == ERROR_SUCCESS;
}

// Prepares the filter of the held deletions from WorkDir (the temporary folder, a run folder
// and "\"); null where WorkDir has no such form.
HeldFilter* MakeFilter(const wchar_t* workDir, const char* id, size_t idLength) {
    static HeldFilter filter;
    static wchar_t parent[kWidePathCap];
    size_t len = CopyText(parent, kWidePathCap, workDir);
    if (len < 2)
        return nullptr;
    size_t cut = len - 1;
    while (cut > 0 && parent[cut - 1] != '\\')
        --cut;
    parent[len - 1] = 0;
    filter.currentLength = NtForm(parent, filter.current);
    parent[cut] = 0;
    filter.parentLength = NtForm(parent, filter.parent);
    if (filter.currentLength == 0 || filter.parentLength == 0)
        return nullptr;
    if (filter.parent[filter.parentLength - 1] != '\\')
        filter.parent[filter.parentLength++] = '\\';
    filter.id = id;
    filter.idLength = idLength;
    return &filter;
}

} // namespace

void RegisterCleanup(const wchar_t* unpacked, size_t unpackedLength, const wchar_t* workDir,
                     const char* id, size_t idLength, wchar_t* scratch, size_t cap) {
    CleanupHost host;
    ScheduleCleanup(host, unpacked, unpackedLength, workDir, scratch, cap);
    if (host.complete &&
        (host.list.Deletions() == 0 || WritePending(host.list, MakeFilter(workDir, id, idLength))))
        return;
    host.oneByOne = true;
    ScheduleCleanup(host, unpacked, unpackedLength, workDir, scratch, cap);
}

} // namespace sfx

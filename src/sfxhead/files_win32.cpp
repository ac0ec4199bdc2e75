// Win32 file access for the payload code; see files_win32.h.
#include "files_win32.h"

#include "cleanup.h"
#include "names.h"
#include "text.h"
#include "wide_win32.h"
#include "window_win32.h"

namespace sfx {

bool PathList::Append(const wchar_t* text, size_t n) {
    if (length_ + n > capacity_) {
        size_t capacity = capacity_ * 2 + n + 4096;
        HANDLE heap = GetProcessHeap();
        size_t bytes = capacity * sizeof(wchar_t);
        void* grown = data_ ? HeapReAlloc(heap, 0, data_, bytes) : HeapAlloc(heap, 0, bytes);
        if (grown == nullptr)
            return false;
        data_ = static_cast<wchar_t*>(grown);
        capacity_ = capacity;
    }
    for (size_t i = 0; i < n; ++i)
        data_[length_ + i] = text[i];
    length_ += n;
    return true;
}

bool FilesHost::Open(const wchar_t* path) {
    archive_ = sys::OpenPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (archive_ == INVALID_HANDLE_VALUE)
        return false;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = GetFileSize(archive_, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    size_ = static_cast<int64_t>((uint64_t{high} << 32) | low);
    return true;
}

void FilesHost::Close() {
    CloseHandle(archive_);
    archive_ = INVALID_HANDLE_VALUE;
}

// Size and position take the high half separately, which every Win32 system supports; a low
// half of all ones is a valid result, so the last error tells a failure apart.
bool FilesHost::Seek(int64_t pos) {
    LONG high = static_cast<LONG>(pos >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(archive_, static_cast<LONG>(pos & 0xFFFFFFFF), &high, FILE_BEGIN);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

bool FilesHost::Read(void* buf, uint32_t n, uint32_t* got) {
    DWORD read = 0;
    BOOL ok = ReadFile(archive_, buf, n, &read, nullptr);
    *got = read;
    return ok != 0;
}

void FilesHost::Pump() {
    PumpMessages();
}

void FilesHost::Progress() {
    RefreshProgressBar();
}

// Stored names are in the ANSI code page, converted as the ANSI calls convert them, or in UTF-8
// (invalid sequences refused). The check is made again on the converted name: it is what the
// system will take apart.
bool FilesHost::FullPath(const char* name, wchar_t* out) const {
    size_t dir = CopyText(out, kWidePathCap, workDir_);
    size_t n = TextLength(name);
    size_t got = sys::Widen(codePage_, name, n, out + dir, kWidePathCap - dir);
    return n == 0 || (got > 0 && IsSafeEntryName(out + dir, got));
}

// A folder that exists already is taken as it is, unless it is a link: nothing of the run may
// be created through one.
bool FilesHost::MakeFolder(const char* name) {
    if (!FullPath(name, path_) || sys::CreateFolder(path_, nullptr))
        return true;
    DWORD attributes = sys::Attributes(path_);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

// The file is created new, never opened over an existing one, and shared for reading only
// while it is written. Anything that is not a file on a disk (a device name) is refused.
bool FilesHost::CreateOutput(const char* name) {
    if (!FullPath(name, outputPath_)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return false;
    }
    output_ = sys::OpenPath(outputPath_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (output_ == INVALID_HANDLE_VALUE)
        return false;
    if (GetFileType(output_) != FILE_TYPE_DISK) {
        CloseHandle(output_);
        output_ = INVALID_HANDLE_VALUE;
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return false;
    }
    return true;
}

bool FilesHost::WriteOutput(const void* data, uint32_t n) {
    DWORD written = 0;
    if (!WriteFile(output_, data, n, &written, nullptr))
        return false;
    if (written != n) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

namespace {

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow &&
           a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow;
}

} // namespace

// The program to start cannot stay open for writing, or the system could not start it; it is
// opened again at once for reading, sharing nothing but reading, and must be the very file
// just written. From then on nobody can change, rename or delete it until ReleaseHeld.
bool FilesHost::FinishOutput(uint32_t dosTime, bool hold) {
    FILETIME local, utc;
    if (DosDateTimeToFileTime(static_cast<WORD>(dosTime >> 16), static_cast<WORD>(dosTime),
                              &local) &&
        LocalFileTimeToFileTime(&local, &utc))
        SetFileTime(output_, nullptr, nullptr, &utc);
    BY_HANDLE_FILE_INFORMATION written = {};
    bool known = hold && GetFileInformationByHandle(output_, &written);
    CloseHandle(output_);
    output_ = INVALID_HANDLE_VALUE;
    if (!hold)
        return true;
    ReleaseHeld();
    held_ = sys::OpenPath(outputPath_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL);
    if (held_ == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION reopened;
    if (known && GetFileInformationByHandle(held_, &reopened) && !SameFile(written, reopened)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

void FilesHost::ReleaseHeld() {
    if (held_ != INVALID_HANDLE_VALUE)
        CloseHandle(held_);
    held_ = INVALID_HANDLE_VALUE;
}

void FilesHost::SetAttributes(const char* name, uint32_t attr) {
    if (FullPath(name, path_))
        sys::SetAttributes(path_, attr);
}

// The path goes in with its terminating zero, which ends it in the list: a zero is the one
// character that no path can hold. A name that cannot become a path is left out: its creation
// fails before anything exists.
bool FilesHost::RecordUnpacked(const char* name) {
    static_assert(kListSeparator == 0);
    if (!FullPath(name, path_))
        return true;
    return unpacked_.Append(path_, TextLength(path_) + 1);
}

} // namespace sfx

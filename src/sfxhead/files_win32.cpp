// Win32 file access for the payload code; see files_win32.h.
#include "files_win32.h"

#include "cleanup.h"
#include "text.h"
#include "window_win32.h"

namespace sfx {

bool TextBuffer::Append(const char* text, size_t n) {
    if (length_ + n > capacity_) {
        size_t capacity = capacity_ * 2 + n + 4096;
        HANDLE heap = GetProcessHeap();
        void* grown = data_ ? HeapReAlloc(heap, 0, data_, capacity) : HeapAlloc(heap, 0, capacity);
        if (grown == nullptr)
            return false;
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }
    for (size_t i = 0; i < n; ++i)
        data_[length_ + i] = text[i];
    length_ += n;
    return true;
}

bool FilesHost::Open(const char* path) {
    archive_ = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

namespace {

HANDLE CreateAlways(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

// A file left read-only, hidden or system by an earlier run that was stopped before its
// clean-up refuses to be replaced; its attributes are cleared and the creation tried once more.
bool FilesHost::CreateOutput(const char* path) {
    output_ = CreateAlways(path);
    if (output_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL))
        output_ = CreateAlways(path);
    return output_ != INVALID_HANDLE_VALUE;
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

void FilesHost::FinishOutput(uint32_t dosTime) {
    FILETIME local, utc;
    if (DosDateTimeToFileTime(static_cast<WORD>(dosTime >> 16), static_cast<WORD>(dosTime),
                              &local) &&
        LocalFileTimeToFileTime(&local, &utc))
        SetFileTime(output_, nullptr, nullptr, &utc);
    CloseHandle(output_);
    output_ = INVALID_HANDLE_VALUE;
}

// The path goes in with its terminating zero, which ends it in the list: a zero byte is the one
// character that no path can hold.
bool FilesHost::RecordUnpacked(const char* path) {
    static_assert(kListSeparator == 0);
    return unpacked_.Append(path, TextLength(path) + 1);
}

} // namespace sfx

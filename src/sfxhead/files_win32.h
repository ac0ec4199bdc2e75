// The module's own file and the files it unpacks, as the host of the payload code (archive.h),
// plus the list of unpacked paths that the clean-up registers. The payload code passes stored
// names (bytes of the ANSI code page); the host turns each into a UTF-16 path inside WorkDir.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "archive.h"

namespace sfx {

// Units of a full path: WorkDir, then a stored name of up to kMaxNameLength bytes.
inline constexpr size_t kWideWorkDirCap = 1024;
inline constexpr size_t kWidePathCap = kWideWorkDirCap + kMaxNameLength + 1;

// A growing text of path units in process heap memory.
class PathList {
  public:
    bool Append(const wchar_t* text, size_t n);
    const wchar_t* Data() const { return data_ ? data_ : L""; }
    size_t Length() const { return length_; }

  private:
    wchar_t* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

class FilesHost {
  public:
    // Opens the own file for reading, sharing read and write. False on failure.
    bool Open(const wchar_t* path);
    void Close();
    PathList& Unpacked() { return unpacked_; }

    // The folder (ending in "\") that stored names are joined to, and the code page they are
    // stored in: the system's ANSI code page, or UTF-8 where the file is marked so.
    void SetWorkDir(const wchar_t* workDir, UINT codePage) {
        CopyText(workDir_, kWideWorkDirCap, workDir);
        codePage_ = codePage;
    }
    const wchar_t* WorkDir() const { return workDir_; }
    // `name` (a stored name, or one joined to an empty WorkDir) as a full UTF-16 path in `out`
    // (kWidePathCap units); false if it cannot be converted, or converted leaves the folder.
    bool FullPath(const char* name, wchar_t* out) const;
    // Lets the held program to start be changed again, once it has started.
    void ReleaseHeld();

    bool Seek(int64_t pos);
    bool Read(void* buf, uint32_t n, uint32_t* got);
    int64_t Size() const { return size_; }
    uint32_t LastError() { return GetLastError(); }
    void Pump();
    void Progress();
    bool MakeFolder(const char* name);
    bool CreateOutput(const char* name);
    bool WriteOutput(const void* data, uint32_t n);
    bool FinishOutput(uint32_t dosTime, bool hold);
    void SetAttributes(const char* name, uint32_t attr);
    bool RecordUnpacked(const char* name);
    void* AllocWindow(uint32_t n) {
        return VirtualAlloc(nullptr, n, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }

  private:
    HANDLE archive_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    HANDLE held_ = INVALID_HANDLE_VALUE;
    int64_t size_ = 0;
    UINT codePage_ = CP_ACP;
    PathList unpacked_;
    wchar_t workDir_[kWideWorkDirCap] = {};
    wchar_t path_[kWidePathCap] = {};       // the full path of the last call
    wchar_t outputPath_[kWidePathCap] = {}; // the file being written
};

} // namespace sfx

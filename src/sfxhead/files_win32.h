// The module's own file and the files it unpacks, as the host of the payload code (archive.h),
// plus the list of unpacked paths that the clean-up registers.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

namespace sfx {

// A growing text in process heap memory.
class TextBuffer {
  public:
    bool Append(const char* text, size_t n);
    const char* Data() const { return data_ ? data_ : ""; }
    size_t Length() const { return length_; }

  private:
    char* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
};

class FilesHost {
  public:
    // Opens the own file for reading, sharing read and write. False on failure.
    bool Open(const char* path);
    void Close();
    TextBuffer& Unpacked() { return unpacked_; }

    bool Seek(int64_t pos);
    bool Read(void* buf, uint32_t n, uint32_t* got);
    int64_t Size() const { return size_; }
    uint32_t LastError() { return GetLastError(); }
    void Pump();
    void Progress();
    void MakeFolder(const char* path) { CreateDirectoryA(path, nullptr); }
    bool CreateOutput(const char* path);
    bool WriteOutput(const void* data, uint32_t n);
    void FinishOutput(uint32_t dosTime);
    void SetAttributes(const char* path, uint32_t attr) { SetFileAttributesA(path, attr); }
    bool RecordUnpacked(const char* path);
    void* AllocWindow(uint32_t n) {
        return VirtualAlloc(nullptr, n, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }

  private:
    HANDLE archive_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
    int64_t size_ = 0;
    TextBuffer unpacked_;
};

} // namespace sfx

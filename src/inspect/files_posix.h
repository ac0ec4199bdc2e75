// The SFX file and the extraction folder of packrig-inspect on Linux.
#pragma once

#include "inspection.h"

#include <string>
#include <sys/stat.h>

namespace inspect {

// Win32 numbering of an errno value, for the runtime module's reports.
uint32_t WindowsCode(int err);

// The SFX file, read with explicit positions.
class FileSource : public Source {
  public:
    ~FileSource() override;
    bool Open(const std::string& path);   // false with errno set
    bool Identify(struct stat& st) const; // the device and inode of the open file
    bool Seek(int64_t pos) override;
    bool Read(void* buf, uint32_t n, uint32_t* got) override;
    int64_t Size() override { return size_; }
    uint32_t LastError() override { return lastError_; }

  private:
    int fd_ = -1;
    int64_t size_ = 0;
    uint32_t lastError_ = 0;
};

// Unpacks into one folder. Every component is opened relative to its parent without following
// symbolic links, and an existing regular file is replaced by a new one, never opened, so nothing
// is written outside the folder whatever it already holds, and never over the SFX file that is
// read. The stored time is set as local time, and the read-only bit takes away every write
// permission.
class FolderSink : public Sink {
  public:
    ~FolderSink() override;
    // Creates the folder with its parents; false with errno set. `input` is the SFX file.
    bool Open(const std::string& folder, const FileSource& input);
    void MakeFolder(const char* rel) override;
    bool CreateOutput(const char* rel) override;
    bool WriteOutput(const void* data, uint32_t n) override;
    void FinishOutput(uint32_t dosTime) override;
    void SetAttributes(const char* rel, uint32_t attr) override;
    uint32_t LastError() override { return lastError_; }

  private:
    int OpenParent(const char* rel, std::string& last); // a directory descriptor, or -1
    int RemoveExisting(int dir, const std::string& name) const;
    bool Fail();
    void CloseOutput();

    struct stat input_ {};
    int root_ = -1;
    int output_ = -1;
    uint32_t lastError_ = 0;
};

} // namespace inspect

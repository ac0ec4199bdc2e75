// The SFX file and the extraction folder of packrig-inspect on Linux.
#pragma once

#include "inspection.h"

#include <string>

namespace inspect {

// Win32 numbering of an errno value, for the runtime module's reports.
uint32_t WindowsCode(int err);

// The SFX file, read with explicit positions.
class FileSource : public Source {
  public:
    ~FileSource() override;
    bool Open(const std::string& path); // false with errno set
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
// symbolic links, so nothing is written outside the folder whatever it already holds. The
// stored time is set as local time, and the read-only bit takes away every write permission.
class FolderSink : public Sink {
  public:
    ~FolderSink() override;
    bool Open(const std::string& folder); // creates it with its parents; false with errno set
    void MakeFolder(const char* rel) override;
    bool CreateOutput(const char* rel) override;
    bool WriteOutput(const void* data, uint32_t n) override;
    void FinishOutput(uint32_t dosTime) override;
    void SetAttributes(const char* rel, uint32_t attr) override;
    uint32_t LastError() override { return lastError_; }

  private:
    int OpenParent(const char* rel, std::string& last); // a directory descriptor, or -1
    bool Fail();
    void CloseOutput();

    int root_ = -1;
    int output_ = -1;
    uint32_t lastError_ = 0;
};

} // namespace inspect

// The file operations of the build pipeline, one implementation per platform. Failures travel as
// IoError values whose messages follow the builder's input/output error table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fsys {

struct IoError {
    std::string message;
    std::string path = {}; // the file that the failure concerns, when one does
};
using IoResult = std::optional<IoError>; // empty on success

// The message for a Win32 error code ("File not found", ..., "I/O error %d").
IoError WindowsError(int code);
// The message for a system error code of this platform (errno on Linux).
IoError SystemError(int code);
IoError ShortRead();  // "Read beyond end of file"
IoError ShortWrite(); // "Disk full"

// Separator of this platform's own paths.
extern const char kPathDelimiter;

bool DirectoryExists(const std::string& path);
bool FileExists(const std::string& path); // a directory does not count
// Creates `path` and every missing parent; the result is not reported.
void ForceDirectories(const std::string& path);

// Identifies a file independently of the path it was reached by.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

class InFile {
  public:
    InFile() = default;
    InFile(InFile&&) noexcept;
    InFile& operator=(InFile&&) noexcept;
    ~InFile();

    // Opens an existing file for reading, others may read and write it.
    IoResult Open(const std::string& path);
    // Reads exactly `count` bytes; fewer is a ShortRead.
    IoResult ReadExact(void* buffer, size_t count);
    std::optional<FileIdentity> Identity() const;

  private:
    intptr_t handle_ = -1;
};

class OutFile {
  public:
    OutFile() = default;
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;
    ~OutFile();

    // Creates or truncates `path` for reading and writing, others may read and write it.
    IoResult Create(const std::string& path);
    // Opens an existing file for writing, positioned at its end.
    IoResult OpenAtEnd(const std::string& path);
    IoResult Write(const void* data, size_t count);
    // Rewrites `count` bytes at `offset`, which lies before Position(); the position stays.
    IoResult WriteAt(uint64_t offset, const void* data, size_t count);
    // Closes the file; a failing close (delayed write error) is reported.
    IoResult Close();
    uint64_t Position() const { return position_; }
    std::optional<FileIdentity> Identity() const;

  private:
    intptr_t handle_ = -1;
    uint64_t position_ = 0;
};

// One entry of a directory listing, with what the builder stores of it.
struct DirEntry {
    std::string name;       // as this platform's file functions take it
    std::string storedName; // in the Windows ANSI code page; empty when it cannot be represented
    uint32_t attr = 0;      // Win32 attribute mask
    uint64_t size = 0;
    // MS-DOS date (high 16 bits) and time (low 16 bits) of the last write, in the listing's
    // TimeBase.
    uint32_t dosTime = 0;
    std::optional<FileIdentity> identity; // when the listing knows it
    bool IsDirectory() const { return (attr & 0x10) != 0; }
    bool IsVolumeLabel() const { return (attr & 0x08) != 0; }
};

class DirListing {
  public:
    virtual ~DirListing() = default;
    // The next entry; false when there are no more.
    virtual bool Next(DirEntry& entry) = 0;
};

// How last-write times become MS-DOS date-times: in local time with the offset from UTC in force
// now, as Windows converts them, or in UTC, so that a reproducible build gives the same bytes in
// every time zone and at every time of year.
enum class TimeBase { Local, Utc };

// Lists every entry of `directory` (ending in kPathDelimiter), or nothing when it cannot be read.
std::unique_ptr<DirListing> StartListing(const std::string& directory, TimeBase times);

// The files that `source` followed by `exeFile` names as Windows resolves such a path: "/" and
// "\" both separate, "." and ".." are taken lexically, letters match in either case. On Windows
// at most one; a Linux tree may hold several that differ only in case.
std::vector<std::string> FindExeFile(const std::string& source, std::string_view exeFile);
// The executable file's name as given, in stored form, to compare with the stored names.
std::string ExeFileStoredName(std::string_view exeFile);
// Upper-cases stored name bytes with the system locale's rules.
std::string UpperStored(std::string_view stored);
// The number of characters of stored name bytes, as the system's path limit counts them.
size_t StoredCharacterCount(std::string_view stored);

// Whether the icon and version transfer runs on this system.
bool RunsResourceTransfer();

// A seed for the identifier's random generator from the high-resolution clock.
uint32_t RandomSeed();

// The MS-DOS date and time of a moment given in seconds since 1970-01-01 00:00:00 UTC, converted
// as a file's last-write time is.
uint32_t DosTimeOf(int64_t unixSeconds, TimeBase base);

} // namespace fsys

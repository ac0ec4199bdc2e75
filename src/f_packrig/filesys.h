// The file operations of the build pipeline, one implementation per platform. Failures travel as
// IoError values whose messages follow the builder's input/output error table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fsys {

struct IoError {
    std::string message;
    std::string path = {}; // the file that the failure concerns, when one does
    // A tree that cannot be stored as it is, rather than a file operation that failed: reported
    // as an error of its own, not as an input/output error.
    bool refusal = false;
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
    // Moves the read position to `offset` bytes from the file's start.
    IoResult SeekTo(uint64_t offset);
    std::optional<FileIdentity> Identity() const;

  private:
    friend class OutFile;
    intptr_t handle_ = -1;
};

class OutFile {
  public:
    OutFile() = default;
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;
    ~OutFile();

    // Creates `path`, which must not exist yet, for reading and writing; others may read and
    // write it.
    IoResult CreateNew(const std::string& path);
    // Creates `path`, which must not exist yet, for scratch data that nothing keeps once the
    // file is closed, however the process ends: on Linux the name goes at once and only the
    // open file is left; on Windows the system deletes the file when its last handle closes.
    IoResult CreateScratch(const std::string& path);
    // Opens an existing file for writing, positioned at its end.
    IoResult OpenAtEnd(const std::string& path);
    IoResult Write(const void* data, size_t count);
    // Rewrites `count` bytes at `offset`, which lies before Position(); the position stays.
    IoResult WriteAt(uint64_t offset, const void* data, size_t count);
    // A second handle on this file, for reading what was written from its start; it keeps a
    // scratch file as long as this one does. The two share one position: write no more.
    IoResult ReadBack(InFile& in) const;
    // Closes the file; a failing close (delayed write error) is reported.
    IoResult Close();
    uint64_t Position() const { return position_; }
    std::optional<FileIdentity> Identity() const;

  private:
    intptr_t handle_ = -1;
    uint64_t position_ = 0;
};

// The file that `path` names when it is a symbolic link (Linux), so that what replaces it is
// written where the link points; otherwise `path` itself.
std::string FinalPath(const std::string& path);
// Moves the complete file `from` over `to` (in the same folder), replacing any file there.
IoResult MoveOver(const std::string& from, const std::string& to);
// Deletes `path`; a failure is not reported.
void RemoveFile(const std::string& path);
// A file that an interrupt or a termination request (Linux: SIGINT, SIGTERM, SIGHUP, where
// their default action is in force) deletes before the process ends, while this object holds
// it. One can be held at a time (the new SFX file).
class InterruptRemoval {
  public:
    InterruptRemoval() = default;
    ~InterruptRemoval() { Clear(); }
    InterruptRemoval(const InterruptRemoval&) = delete;
    InterruptRemoval& operator=(const InterruptRemoval&) = delete;

    // Creates `path` as OutFile::CreateNew does and holds it, with interrupts held back in
    // between, so that none can end the process with the file made but not yet held.
    IoResult CreateNew(OutFile& out, const std::string& path);
    // Lets go of the file: an interrupt leaves it.
    void Clear();

  private:
    int slot_ = -1;
};
// Runs `step` with those interrupts held back (Linux), for a step that makes and renames files
// of its own beside a held file: an interrupt, whichever thread it reaches, lands once the step
// is over and then finds only the held file to delete.
void WithInterruptsHeld(const std::function<void()>& step);
// The identity of an existing file, when it can be opened for reading.
std::optional<FileIdentity> IdentityOf(const std::string& path);

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

// Lists every entry of `directory` (ending in kPathDelimiter) into `listing`, which stays empty
// when the directory holds nothing. A directory that cannot be read is an error: the files in it
// would be missing from the SFX file.
IoResult StartListing(const std::string& directory, TimeBase times,
                      std::unique_ptr<DirListing>& listing);

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

// The first and the last moment that an MS-DOS date and time can hold: 1980-01-01 00:00:00 and
// 2107-12-31 23:59:58.
inline constexpr uint32_t kEarliestDosTime = (1u << 21) | (1u << 16);
inline constexpr uint32_t kLatestDosTime =
    (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
// The MS-DOS date (high 16 bits) and time (low 16 bits) of a local calendar time, 2-second
// resolution; a time outside the MS-DOS range gives its first or its last moment.
uint32_t ClampedDosTime(int year, int month, int day, int hour, int minute, int second);

// The MS-DOS date and time of a moment given in seconds since 1970-01-01 00:00:00 UTC, converted
// as a file's last-write time is.
uint32_t DosTimeOf(int64_t unixSeconds, TimeBase base);

} // namespace fsys

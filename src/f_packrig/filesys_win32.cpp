// The pipeline's file operations on Windows, through the ANSI file functions.
#include "filesys.h"

#include <windows.h>

namespace fsys {

const char kPathDelimiter = '\\';

namespace {

HANDLE AsHandle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}
intptr_t FromHandle(HANDLE h) {
    return reinterpret_cast<intptr_t>(h);
}
constexpr intptr_t kNoHandle = -1; // INVALID_HANDLE_VALUE

IoError LastError() {
    return SystemError(static_cast<int>(GetLastError()));
}

// FileTimeToDosDateTime refuses a time before 1980 and wraps one after 2107 on some systems,
// so the time is taken apart here (in local time, or as UTC) and clamped to the MS-DOS range as
// on Linux.
uint32_t DosTime(const FILETIME& utc, TimeBase base) {
    FILETIME converted = utc;
    SYSTEMTIME t;
    if (base == TimeBase::Local && !FileTimeToLocalFileTime(&utc, &converted))
        return kEarliestDosTime;
    if (!FileTimeToSystemTime(&converted, &t))
        return kEarliestDosTime;
    return ClampedDosTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

std::optional<FileIdentity> IdentityOf(intptr_t handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(AsHandle(handle), &info))
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

void Fill(const WIN32_FIND_DATAA& data, TimeBase times, DirEntry& entry) {
    entry.name = data.cFileName;
    entry.storedName = data.cFileName;
    entry.attr = data.dwFileAttributes;
    entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.dosTime = DosTime(data.ftLastWriteTime, times);
}

class FindListing : public DirListing {
  public:
    FindListing(HANDLE find, const WIN32_FIND_DATAA& first, TimeBase times)
        : find_(find), first_(first), times_(times) {}
    ~FindListing() override { FindClose(find_); }

    bool Next(DirEntry& entry) override {
        if (pendingFirst_) {
            pendingFirst_ = false;
            Fill(first_, times_, entry);
            return true;
        }
        WIN32_FIND_DATAA data;
        if (!FindNextFileA(find_, &data))
            return false;
        Fill(data, times_, entry);
        return true;
    }

  private:
    HANDLE find_;
    WIN32_FIND_DATAA first_;
    TimeBase times_;
    bool pendingFirst_ = true;
};

} // namespace

IoError SystemError(int code) {
    return WindowsError(code);
}

bool DirectoryExists(const std::string& path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return !path.empty() && attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::string& path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return !path.empty() && attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

void ForceDirectories(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '\\' || path[pos] == '/')
            CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    }
}

InFile::InFile(InFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = kNoHandle;
}

InFile& InFile::operator=(InFile&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
}

InFile::~InFile() {
    if (handle_ != kNoHandle)
        CloseHandle(AsHandle(handle_));
}

IoResult InFile::Open(const std::string& path) {
    // Sharing deletion too lets the walk open the builder's own scratch file, which it then
    // knows by its identity and skips.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    handle_ = FromHandle(h);
    return {};
}

IoResult InFile::ReadExact(void* buffer, size_t count) {
    char* p = static_cast<char*>(buffer);
    while (count > 0) {
        DWORD n = 0;
        if (!ReadFile(AsHandle(handle_), p, static_cast<DWORD>(count), &n, nullptr))
            return LastError();
        if (n == 0)
            return ShortRead();
        p += n;
        count -= n;
    }
    return {};
}

IoResult InFile::SeekTo(uint64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(AsHandle(handle_), at, nullptr, FILE_BEGIN))
        return LastError();
    return {};
}

std::optional<FileIdentity> InFile::Identity() const {
    return IdentityOf(handle_);
}

OutFile::~OutFile() {
    if (handle_ != kNoHandle)
        CloseHandle(AsHandle(handle_));
}

IoResult OutFile::CreateNew(const std::string& path) {
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    handle_ = FromHandle(h);
    position_ = 0;
    return {};
}

IoResult OutFile::CreateScratch(const std::string& path) {
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    handle_ = FromHandle(h);
    position_ = 0;
    return {};
}

IoResult OutFile::ReadBack(InFile& in) const {
    HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, AsHandle(handle_), process, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return LastError();
    in = InFile();
    in.handle_ = FromHandle(copy);
    return in.SeekTo(0);
}

IoResult OutFile::OpenAtEnd(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    handle_ = FromHandle(h);
    LARGE_INTEGER zero{}, end{};
    if (!SetFilePointerEx(h, zero, &end, FILE_END))
        return LastError();
    position_ = static_cast<uint64_t>(end.QuadPart);
    return {};
}

IoResult OutFile::Write(const void* data, size_t count) {
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), data, static_cast<DWORD>(count), &written, nullptr))
        return LastError();
    position_ += written;
    if (written != count)
        return ShortWrite();
    return {};
}

IoResult OutFile::Close() {
    if (handle_ == kNoHandle)
        return {};
    HANDLE h = AsHandle(handle_);
    handle_ = kNoHandle;
    if (!CloseHandle(h))
        return LastError();
    return {};
}

std::optional<FileIdentity> OutFile::Identity() const {
    return IdentityOf(handle_);
}

std::string FinalPath(const std::string& path) {
    return path;
}

IoResult MoveOver(const std::string& from, const std::string& to) {
    if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return LastError();
    return {};
}

void RemoveFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

// A Windows program is ended without a signal it could act on.
IoResult InterruptRemoval::CreateNew(OutFile& out, const std::string& path) {
    return out.CreateNew(path);
}

void InterruptRemoval::Clear() {}

void WithInterruptsHeld(const std::function<void()>& step) {
    step();
}

IoResult StartListing(const std::string& directory, TimeBase times,
                      std::unique_ptr<DirListing>& listing) {
    listing.reset();
    WIN32_FIND_DATAA first;
    HANDLE find = FindFirstFileA((directory + "*.*").c_str(), &first);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // A folder without entries (not even "." and "..", as at a drive's root) is no failure.
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES)
            return {};
        return WindowsError(static_cast<int>(code));
    }
    listing = std::make_unique<FindListing>(find, first, times);
    return {};
}

std::vector<std::string> FindExeFile(const std::string& source, std::string_view exeFile) {
    std::string path = source + std::string(exeFile);
    if (!FileExists(path))
        return {};
    return {path};
}

std::string ExeFileStoredName(std::string_view exeFile) {
    return std::string(exeFile);
}

std::string UpperStored(std::string_view stored) {
    std::string upper(stored);
    if (!upper.empty())
        CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

size_t StoredCharacterCount(std::string_view stored) {
    if (stored.empty())
        return 0;
    int count =
        MultiByteToWideChar(CP_ACP, 0, stored.data(), static_cast<int>(stored.size()), nullptr, 0);
    return count > 0 ? static_cast<size_t>(count) : stored.size();
}

bool RunsResourceTransfer() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
#pragma GCC diagnostic pop
}

uint32_t RandomSeed() {
    LARGE_INTEGER counter;
    if (QueryPerformanceCounter(&counter))
        return static_cast<uint32_t>(counter.QuadPart);
    return GetTickCount();
}

IoResult OutFile::WriteAt(uint64_t offset, const void* data, size_t count) {
    HANDLE h = AsHandle(handle_);
    LARGE_INTEGER at{}, end{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    end.QuadPart = static_cast<LONGLONG>(position_);
    DWORD written = 0;
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) ||
        !WriteFile(h, data, static_cast<DWORD>(count), &written, nullptr) ||
        !SetFilePointerEx(h, end, nullptr, FILE_BEGIN))
        return LastError();
    return written == count ? IoResult{} : ShortWrite();
}

uint32_t DosTimeOf(int64_t unixSeconds, TimeBase base) {
    constexpr int64_t kEpochOffset = 11644473600; // 1601-01-01 to 1970-01-01, in seconds
    uint64_t ticks = static_cast<uint64_t>(unixSeconds + kEpochOffset) * 10000000u;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return DosTime(utc, base);
}

} // namespace fsys

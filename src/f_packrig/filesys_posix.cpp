// The pipeline's file operations on Linux. Listings come in NTFS's order (names compared by the
// UTF-16 code units of their upper case) so that a tree always gives the payload that the
// Windows builder writes; names are stored in the target code page, attributes and times are
// mapped onto their Win32 forms.
#include "filesys.h"

#include "codepage.h"
#include "exe_name.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fsys {

const char kPathDelimiter = '/';

namespace {

constexpr uint32_t kReadOnly = 0x01;
constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kArchive = 0x20;

IoError LastError() {
    return SystemError(errno);
}

int WindowsCodeFor(int err) {
    switch (err) {
    case ENOENT:
        return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return 5;
    default:
        return 0;
    }
}

// Windows converts a file time with the offset from UTC in force now (FileTimeToLocalFileTime),
// not with the one of the file's own date: a summer date stored in winter moves by the winter
// offset. Both builders thus store the same time for the same file.
long CurrentUtcOffset() {
    time_t now = time(nullptr);
    struct tm local {};
    return localtime_r(&now, &local) ? local.tm_gmtoff : 0;
}

uint32_t DosDateTime(time_t t, TimeBase base) {
    time_t shifted = base == TimeBase::Local ? t + CurrentUtcOffset() : t;
    struct tm local {};
    if (!gmtime_r(&shifted, &local))
        return (1u << 21) | (1u << 16); // 1980-01-01 00:00:00
    int year = local.tm_year + 1900;
    if (year < 1980)
        return (1u << 21) | (1u << 16);
    if (year > 2107)
        return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) |
                    (static_cast<uint32_t>(local.tm_mon + 1) << 5) |
                    static_cast<uint32_t>(local.tm_mday);
    uint32_t time = (static_cast<uint32_t>(local.tm_hour) << 11) |
                    (static_cast<uint32_t>(local.tm_min) << 5) |
                    static_cast<uint32_t>(local.tm_sec / 2);
    return (date << 16) | time;
}

std::string StoredFormOf(const std::string& name) {
    return prutils::Utf8ToCodePage(name, prutils::TargetCodePage()).value_or(std::string());
}

// What the listing makes of a name.
enum class Look {
    Stored,  // a file or folder of the tree
    LeftOut, // what cannot be stored, or a name gone since the folder was read
    Failed,  // the name cannot be looked at (a folder without search permission): errno says why
};

// Fills `entry` for `name` in `directory`. Left out are special files, dangling links, and links
// to directories (never followed, so a walk cannot loop or leave the tree).
Look Describe(const std::string& directory, const std::string& name, TimeBase times,
              DirEntry& entry) {
    std::string path = directory + name;
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0)
        return errno == ENOENT ? Look::LeftOut : Look::Failed;
    struct stat st = link;
    if (S_ISLNK(link.st_mode) && (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)))
        return Look::LeftOut;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return Look::LeftOut;
    entry.name = name;
    entry.storedName = StoredFormOf(name);
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    entry.attr = S_ISDIR(st.st_mode) ? kDirectory : kArchive;
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
        entry.attr |= kReadOnly;
    entry.dosTime = DosDateTime(st.st_mtime, times);
    entry.identity =
        FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return Look::Stored;
}

// A snapshot of one directory, taken when the listing starts, as a Windows listing reports
// sizes and times as they were when it read them.
class PosixListing : public DirListing {
  public:
    explicit PosixListing(std::vector<DirEntry> entries) : entries_(std::move(entries)) {}

    bool Next(DirEntry& entry) override {
        if (next_ >= entries_.size())
            return false;
        entry = std::move(entries_[next_++]);
        return true;
    }

  private:
    std::vector<DirEntry> entries_;
    size_t next_ = 0;
};

// Names ordered as NTFS lists them: by the UTF-16 code units of their upper case.
void SortInListingOrder(std::vector<std::string>& names) {
    std::vector<std::pair<std::u16string, std::string>> keyed;
    keyed.reserve(names.size());
    for (std::string& name : names)
        keyed.emplace_back(prutils::ListingOrderKey(name), std::move(name));
    std::sort(keyed.begin(), keyed.end());
    for (size_t i = 0; i < names.size(); ++i)
        names[i] = std::move(keyed[i].second);
}

// The names in `directory` that Windows takes for `part`: equal when upper-cased. A directory
// that cannot be listed offers the name as written.
std::vector<std::string> NamesMatching(const std::string& directory, const std::string& part) {
    if (part == "..")
        return {part};
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return {part};
    std::u16string key = prutils::ListingOrderKey(part);
    std::vector<std::string> names;
    while (struct dirent* d = readdir(dir)) {
        if (prutils::ListingOrderKey(d->d_name) == key && std::strcmp(d->d_name, ".") != 0 &&
            std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The files that an interrupt deletes, kept where the signal handler can read them.
constexpr int kInterruptSlots = 1;
char g_interruptPaths[kInterruptSlots][4096];
volatile sig_atomic_t g_interruptPathHeld[kInterruptSlots] = {};
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// How many steps hold the interrupts back now, process-wide, or kEnding once an interrupt has
// begun to end the process. The signal mask alone is per thread: a program with threads of its
// own (the window program's) may have the signal delivered to one of those, so the handler
// defers there too. An interrupt that arrives while a step is held waits in g_deferredSignal.
constexpr int kEnding = -1;
std::atomic<int> g_holds{0};
std::atomic<int> g_deferredSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler uses them");

[[noreturn]] void RemoveAndEnd(int sig) {
    for (int i = 0; i < kInterruptSlots; ++i)
        if (g_interruptPathHeld[i])
            unlink(g_interruptPaths[i]);
    signal(sig, SIG_DFL);
    // Blocked here while its handler runs, or while this thread's step lets go.
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    for (;;)
        pause();
}

// Ends the process for `sig` unless a step holds interrupts, in which case the last step to let
// go ends it. The signal is recorded before the count is read again, so a step that lets go in
// between sees it.
void EndOrDefer(int sig) {
    int holds = 0;
    while (!g_holds.compare_exchange_weak(holds, kEnding)) {
        if (holds == kEnding)
            return; // another thread is ending the process already
        if (holds > 0) {
            g_deferredSignal.store(sig);
            if (g_holds.load() != 0)
                return;
            holds = 0;
        }
    }
    RemoveAndEnd(sig);
}

extern "C" void OnInterrupt(int sig) {
    EndOrDefer(sig);
}

// Once per process; a signal that is ignored (nohup) or handled by someone else stays so.
void CatchInterrupts() {
    static bool caught = false;
    if (caught)
        return;
    caught = true;
    for (int sig : kInterrupts) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        action.sa_flags = SA_RESTART; // a deferring handler returns into other threads' calls
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Holds back the interrupts while it lives, so that a step of two calls is never cut in half:
// blocked in this thread, deferred by the handler in any other.
class InterruptsHeld {
  public:
    InterruptsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : kInterrupts)
            sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
        int holds = g_holds.load();
        do {
            while (holds == kEnding)
                pause(); // an interrupt is ending the process in another thread
        } while (!g_holds.compare_exchange_weak(holds, holds + 1));
    }
    ~InterruptsHeld() {
        bool last = g_holds.fetch_sub(1) == 1;
        // An interrupt sent to this thread meanwhile is delivered here and ends the process.
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        if (int sig = g_deferredSignal.load(); last && sig != 0)
            EndOrDefer(sig);
    }
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    sigset_t previous_;
};

} // namespace

IoError SystemError(int code) {
    if (code == ENOSPC || code == EDQUOT || code == EFBIG)
        return ShortWrite();
    int windowsCode = WindowsCodeFor(code);
    return windowsCode ? WindowsError(windowsCode) : IoError{"I/O error " + std::to_string(code)};
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void ForceDirectories(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/')
            mkdir(path.substr(0, pos).c_str(), 0777);
    }
}

InFile::InFile(InFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

InFile& InFile::operator=(InFile&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
}

InFile::~InFile() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
}

IoResult InFile::Open(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return LastError();
    // O_NONBLOCK changes nothing for a regular file; a FIFO put in place of one after the
    // listing then fails to read instead of hanging the build.
    handle_ = fd;
    return {};
}

IoResult InFile::ReadExact(void* buffer, size_t count) {
    char* p = static_cast<char*>(buffer);
    while (count > 0) {
        ssize_t n = read(static_cast<int>(handle_), p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LastError();
        if (n == 0)
            return ShortRead();
        p += n;
        count -= static_cast<size_t>(n);
    }
    return {};
}

IoResult InFile::SeekTo(uint64_t offset) {
    if (lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) < 0)
        return LastError();
    return {};
}

std::optional<FileIdentity> InFile::Identity() const {
    struct stat st {};
    if (fstat(static_cast<int>(handle_), &st) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

OutFile::~OutFile() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
}

IoResult OutFile::CreateNew(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return LastError();
    handle_ = fd;
    position_ = 0;
    return {};
}

IoResult OutFile::CreateScratch(const std::string& path) {
    InterruptsHeld held;
    if (IoResult failed = CreateNew(path))
        return failed;
    if (unlink(path.c_str()) != 0)
        return LastError();
    return {};
}

IoResult OutFile::ReadBack(InFile& in) const {
    int fd = fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return LastError();
    in = InFile();
    in.handle_ = fd;
    return in.SeekTo(0);
}

IoResult OutFile::OpenAtEnd(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return LastError();
    handle_ = fd;
    off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0)
        return LastError();
    position_ = static_cast<uint64_t>(end);
    return {};
}

IoResult OutFile::Write(const void* data, size_t count) {
    const char* p = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t n = write(static_cast<int>(handle_), p, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return LastError();
        if (n == 0)
            return ShortWrite();
        p += n;
        count -= static_cast<size_t>(n);
        position_ += static_cast<uint64_t>(n);
    }
    return {};
}

IoResult OutFile::Close() {
    if (handle_ < 0)
        return {};
    int fd = static_cast<int>(handle_);
    handle_ = -1;
    if (close(fd) != 0)
        return LastError();
    return {};
}

std::optional<FileIdentity> OutFile::Identity() const {
    struct stat st {};
    if (fstat(static_cast<int>(handle_), &st) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string FinalPath(const std::string& path) {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
        return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    std::string final(resolved);
    std::free(resolved);
    return final;
}

IoResult MoveOver(const std::string& from, const std::string& to) {
    // A target that its owner may not write is refused as writing into it would be, and the
    // replacement keeps the permissions of the file it replaces.
    struct stat old {};
    if (stat(to.c_str(), &old) == 0) {
        if (access(to.c_str(), W_OK) != 0)
            return LastError();
        chmod(from.c_str(), old.st_mode & 07777);
    }
    if (rename(from.c_str(), to.c_str()) != 0)
        return LastError();
    return {};
}

void RemoveFile(const std::string& path) {
    unlink(path.c_str());
}

IoResult InterruptRemoval::CreateNew(OutFile& out, const std::string& path) {
    Clear();
    InterruptsHeld held;
    IoResult failed = out.CreateNew(path);
    if (!failed && path.size() < sizeof g_interruptPaths[0]) {
        CatchInterrupts();
        for (int i = 0; i < kInterruptSlots && slot_ < 0; ++i) {
            if (!g_interruptPathHeld[i]) {
                std::memcpy(g_interruptPaths[i], path.c_str(), path.size() + 1);
                g_interruptPathHeld[i] = 1;
                slot_ = i;
            }
        }
    }
    return failed;
}

void InterruptRemoval::Clear() {
    if (slot_ >= 0)
        g_interruptPathHeld[slot_] = 0;
    slot_ = -1;
}

void WithInterruptsHeld(const std::function<void()>& step) {
    InterruptsHeld held;
    step();
}

IoResult StartListing(const std::string& directory, TimeBase times,
                      std::unique_ptr<DirListing>& listing) {
    listing.reset();
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return LastError();
    std::vector<std::string> names;
    while (struct dirent* d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.emplace_back(d->d_name);
    }
    closedir(dir);
    if (names.empty())
        return {};
    SortInListingOrder(names);
    std::vector<DirEntry> entries;
    entries.reserve(names.size());
    for (const std::string& name : names) {
        DirEntry entry;
        Look look = Describe(directory, name, times, entry);
        if (look == Look::Failed) {
            IoError failed = LastError();
            failed.path = directory + name;
            return failed;
        }
        if (look == Look::Stored)
            entries.push_back(std::move(entry));
    }
    listing = std::make_unique<PosixListing>(std::move(entries));
    return {};
}

std::vector<std::string> FindExeFile(const std::string& source, std::string_view exeFile) {
    if (!exeFile.empty() && (exeFile.back() == '/' || exeFile.back() == '\\'))
        return {}; // names a folder
    std::vector<std::string> parts = fpackrig::ResolvedComponents(exeFile);
    std::vector<std::string> paths{source};
    for (size_t i = 0; i < parts.size(); ++i) {
        const char* after = i + 1 < parts.size() ? "/" : "";
        std::vector<std::string> next;
        for (const std::string& path : paths)
            for (const std::string& name : NamesMatching(path, parts[i]))
                next.push_back(path + name + after);
        paths = std::move(next);
    }
    std::erase_if(paths, [](const std::string& path) { return !FileExists(path); });
    return paths;
}

std::string ExeFileStoredName(std::string_view exeFile) {
    return StoredFormOf(std::string(exeFile));
}

std::string UpperStored(std::string_view stored) {
    return prutils::UpperInCodePage(stored, prutils::TargetCodePage());
}

size_t StoredCharacterCount(std::string_view stored) {
    if (prutils::TargetCodePage() == prutils::CodePage::Utf8)
        return prutils::Utf16Length(stored);
    return stored.size(); // the other code pages have one byte a character
}

bool RunsResourceTransfer() {
    return true;
}

uint32_t RandomSeed() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ns =
        static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
    return static_cast<uint32_t>(ns) ^ static_cast<uint32_t>(getpid());
}

IoResult OutFile::WriteAt(uint64_t offset, const void* data, size_t count) {
    ssize_t n = pwrite(static_cast<int>(handle_), data, count, static_cast<off_t>(offset));
    if (n < 0)
        return LastError();
    return static_cast<size_t>(n) == count ? IoResult{} : ShortWrite();
}

uint32_t DosTimeOf(int64_t unixSeconds, TimeBase base) {
    return DosDateTime(static_cast<time_t>(unixSeconds), base);
}

} // namespace fsys

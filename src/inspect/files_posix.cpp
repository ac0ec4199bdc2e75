// The SFX file and the extraction folder of packrig-inspect on Linux; see files_posix.h.
#include "files_posix.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace inspect {

uint32_t WindowsCode(int err) {
    switch (err) {
    case ENOENT:
        return 2;
    case ENOTDIR:
    case ELOOP:
        return 3;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EEXIST:
        return 5;
    case ENOMEM:
        return 8;
    case ENOSPC:
    case EDQUOT:
        return 112;
    case ENAMETOOLONG:
        return 206;
    case EIO:
        return 30;
    case ETXTBSY:
        return 32; // ERROR_SHARING_VIOLATION
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

FileSource::~FileSource() {
    if (fd_ >= 0)
        close(fd_);
}

bool FileSource::Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    size_ = st.st_size;
    return true;
}

bool FileSource::Identify(struct stat& st) const {
    return fstat(fd_, &st) == 0;
}

bool FileSource::Seek(int64_t pos) {
    if (lseek(fd_, pos, SEEK_SET) >= 0)
        return true;
    lastError_ = WindowsCode(errno);
    return false;
}

bool FileSource::Read(void* buf, uint32_t n, uint32_t* got) {
    *got = 0;
    char* p = static_cast<char*>(buf);
    while (*got < n) {
        ssize_t r = read(fd_, p + *got, n - *got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            lastError_ = WindowsCode(errno);
            return false;
        }
        if (r == 0)
            break; // the end of the file: a short read, as on Windows
        *got += static_cast<uint32_t>(r);
    }
    return true;
}

FolderSink::~FolderSink() {
    CloseOutput();
    if (root_ >= 0)
        close(root_);
}

bool FolderSink::Open(const std::string& folder, const FileSource& input) {
    if (!input.Identify(input_))
        return false;
    for (size_t i = 0; i <= folder.size(); ++i) {
        if (i == folder.size() || (folder[i] == '/' && i > 0))
            mkdir(folder.substr(0, i).c_str(), 0777);
    }
    root_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    return root_ >= 0;
}

bool FolderSink::Fail() {
    lastError_ = WindowsCode(errno);
    return false;
}

void FolderSink::CloseOutput() {
    if (output_ >= 0)
        close(output_);
    output_ = -1;
}

// Walks the folders of `rel` ("\" or "/" between them) below the root, never through a link;
// `last` receives the final component.
int FolderSink::OpenParent(const char* rel, std::string& last) {
    int dir = dup(root_);
    last.clear();
    for (const char* p = rel;; ++p) {
        if (*p != '\\' && *p != '/' && *p != 0) {
            last += *p;
            continue;
        }
        if (*p == 0) {
            last = Utf8Name(last);
            return dir;
        }
        if (last.empty())
            continue;
        last = Utf8Name(last);
        int next =
            openat(dir, last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        int err = errno;
        close(dir);
        if (next < 0) {
            errno = err;
            return -1;
        }
        dir = next;
        last.clear();
    }
}

void FolderSink::MakeFolder(const char* rel) {
    std::string last;
    int dir = OpenParent(rel, last);
    if (dir < 0)
        return;
    mkdirat(dir, last.c_str(), 0777);
    close(dir);
}

// An existing file at the entry's path is replaced by a new one, never written through: it may
// be a hard link to a file outside the folder, or the SFX file itself. Only a regular file is
// replaced; the new file is created exclusively, so nothing but a new regular file is opened.
bool FolderSink::CreateOutput(const char* rel) {
    CloseOutput();
    std::string last;
    int dir = OpenParent(rel, last);
    if (dir < 0)
        return Fail();
    int err = RemoveExisting(dir, last);
    if (err == 0) {
        output_ = openat(dir, last.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        err = output_ < 0 ? errno : 0;
    }
    close(dir);
    errno = err;
    return output_ >= 0 || Fail();
}

// Unlinks the regular file at `name` in `dir`, if there is one; 0, or the errno value that
// keeps the entry from being created.
int FolderSink::RemoveExisting(int dir, const std::string& name) const {
    struct stat st {};
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (S_ISLNK(st.st_mode))
        return ELOOP;
    if (!S_ISREG(st.st_mode))
        return EEXIST; // a FIFO, a socket or a device stays as it is
    if (st.st_dev == input_.st_dev && st.st_ino == input_.st_ino)
        return ETXTBSY; // the SFX file being read
    if ((st.st_mode & 0222) == 0)
        return EACCES; // like Windows, an existing read-only file is not replaced
    return unlinkat(dir, name.c_str(), 0) == 0 ? 0 : errno;
}

bool FolderSink::WriteOutput(const void* data, uint32_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(output_, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w == 0 ? (errno = ENOSPC, Fail()) : Fail();
        p += w;
        n -= static_cast<uint32_t>(w);
    }
    return true;
}

// The stored MS-DOS time is local time of the building machine; it is read as local time here.
void FolderSink::FinishOutput(uint32_t t) {
    struct tm local {};
    local.tm_year = static_cast<int>(t >> 25) + 80;
    local.tm_mon = static_cast<int>((t >> 21) & 0xF) - 1;
    local.tm_mday = static_cast<int>((t >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((t >> 11) & 0x1F);
    local.tm_min = static_cast<int>((t >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(t & 0x1F) * 2;
    local.tm_isdst = -1;
    time_t seconds = mktime(&local);
    if (seconds != static_cast<time_t>(-1)) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
        futimens(output_, times);
    }
}

void FolderSink::SetAttributes(const char* /*rel*/, uint32_t attr) {
    if ((attr & 0x01) != 0) {
        struct stat st {};
        if (fstat(output_, &st) == 0)
            fchmod(output_, st.st_mode & ~static_cast<mode_t>(0222));
    }
    CloseOutput();
}

} // namespace inspect

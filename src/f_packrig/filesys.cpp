// The builder's input/output error table and the file operations common to both platforms.
#include "filesys.h"

namespace fsys {

IoError WindowsError(int code) {
    switch (code) {
    case 2:
        return {"File not found"};
    case 3:
        return {"Invalid filename"};
    case 4:
        return {"Too many open files"};
    case 5:
        return {"File access denied"};
    case 39:  // ERROR_HANDLE_DISK_FULL
    case 112: // ERROR_DISK_FULL
        return ShortWrite();
    default:
        return {"I/O error " + std::to_string(code)};
    }
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    InFile file;
    if (file.Open(path))
        return std::nullopt;
    return file.Identity();
}

uint32_t ClampedDosTime(int year, int month, int day, int hour, int minute, int second) {
    if (year < 1980)
        return kEarliestDosTime;
    if (year > 2107)
        return kLatestDosTime;
    uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) |
                    (static_cast<uint32_t>(month) << 5) | static_cast<uint32_t>(day);
    uint32_t time = (static_cast<uint32_t>(hour) << 11) | (static_cast<uint32_t>(minute) << 5) |
                    static_cast<uint32_t>(second / 2);
    return (date << 16) | time;
}

IoError ShortRead() {
    return {"Read beyond end of file"};
}
IoError ShortWrite() {
    return {"Disk full"};
}

} // namespace fsys

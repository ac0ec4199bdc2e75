// The builder's input/output error table, common to both platforms.
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

IoError ShortRead() {
    return {"Read beyond end of file"};
}
IoError ShortWrite() {
    return {"Disk full"};
}

} // namespace fsys

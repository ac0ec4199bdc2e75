// The list of delayed deletions in the system's form; see pending.h.
#include "pending.h"

namespace sfx {

namespace {

// True if `path` (`n` units) begins with the ASCII text `prefix`.
bool StartsWith(const uint16_t* path, size_t n, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != 0; ++i) {
        if (i >= n || path[i] != static_cast<uint8_t>(prefix[i]))
            return false;
    }
    return true;
}

} // namespace

bool PendingList::Reserve(size_t units) {
    if (length_ + units <= capacity_)
        return true;
    size_t capacity = capacity_ * 2 + units + 8192;
    void* grown = grow_(data_, capacity * sizeof(uint16_t));
    if (grown == nullptr)
        return false;
    data_ = static_cast<uint16_t*>(grown);
    capacity_ = capacity;
    return true;
}

void PendingList::Put(const char* ascii) {
    while (*ascii != 0)
        data_[length_++] = static_cast<uint8_t>(*ascii++);
}

void PendingList::Put(const uint16_t* units, size_t n) {
    for (size_t i = 0; i < n; ++i)
        data_[length_++] = units[i];
}

bool PendingList::AddDeletion(const uint16_t* path, size_t n) {
    const char* prefix = "\\??\\";
    size_t skip = 0;
    if (StartsWith(path, n, "\\\\.\\"))
        return true;
    if (StartsWith(path, n, "\\\\?\\")) {
        skip = 4;
    } else if (StartsWith(path, n, "\\\\")) {
        prefix = "\\??\\UNC\\";
        skip = 2;
    }
    if (!Reserve(8 + n - skip + 2))
        return false;
    Put(prefix);
    Put(path + skip, n - skip);
    data_[length_++] = 0; // ends the path
    data_[length_++] = 0; // the empty new name
    ++deletions_;
    return true;
}

bool PendingList::Close(const uint16_t* held, size_t n) {
    if (n > 0 && held[n - 1] == 0)
        --n;
    if (!Reserve(n + 1))
        return false;
    for (size_t i = length_; i > 0; --i)
        data_[i - 1 + n] = data_[i - 1];
    for (size_t i = 0; i < n; ++i)
        data_[i] = held[i];
    length_ += n;
    data_[length_++] = 0;
    return true;
}

} // namespace sfx

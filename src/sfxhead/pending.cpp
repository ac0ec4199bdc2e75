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

// The unit at `i` of `bytes` bytes, least significant byte first; a stray last byte of an odd
// length is the low byte of a unit of its own.
uint16_t UnitAt(const uint8_t* bytes, size_t length, size_t i) {
    uint16_t low = bytes[2 * i];
    uint16_t high = 2 * i + 1 < length ? bytes[2 * i + 1] : 0;
    return static_cast<uint16_t>(low | (high << 8));
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

// Removes the deletions that `drop` is true for from the first `front` units, which hold whole
// pairs; returns the units left.
size_t PendingList::DropHeld(size_t front, DropFn drop, void* context) {
    size_t write = 0;
    for (size_t read = 0; read < front;) {
        size_t sourceEnd = read;
        while (data_[sourceEnd] != 0)
            ++sourceEnd;
        size_t targetEnd = sourceEnd + 1;
        while (data_[targetEnd] != 0)
            ++targetEnd;
        size_t next = targetEnd + 1;
        bool deletion = targetEnd == sourceEnd + 1;
        if (!(deletion && drop(context, data_ + read, sourceEnd - read))) {
            for (size_t i = read; i < next; ++i)
                data_[write++] = data_[i];
        }
        read = next;
    }
    return write;
}

bool PendingList::Close(const void* held, size_t bytes, DropFn drop, void* context) {
    const uint8_t* data = static_cast<const uint8_t*>(held);
    size_t n = (bytes + 1) / 2;
    // Walk the held strings pair by pair: an empty first string ends the list, and what follows
    // it is no entry. A last string without its zero, or a last pair without its second string,
    // is closed here, so that every held entry keeps its meaning and the run's pairs stay whole.
    size_t kept = 0;
    size_t closing = 0;
    bool second = false;
    while (kept < n) {
        size_t end = kept;
        while (end < n && UnitAt(data, bytes, end) != 0)
            ++end;
        if (end == kept && !second)
            break;
        if (end == n)
            ++closing;
        kept = end == n ? n : end + 1;
        second = !second;
    }
    if (second)
        ++closing;
    size_t front = kept + closing;
    if (!Reserve(front + 1))
        return false;
    for (size_t i = length_; i > 0; --i)
        data_[i - 1 + front] = data_[i - 1];
    for (size_t i = 0; i < kept; ++i)
        data_[i] = UnitAt(data, bytes, i);
    for (size_t i = kept; i < front; ++i)
        data_[i] = 0;
    size_t left = drop != nullptr ? DropHeld(front, drop, context) : front;
    for (size_t i = 0; i < length_; ++i)
        data_[left + i] = data_[front + i];
    length_ += left;
    data_[length_++] = 0;
    return true;
}

} // namespace sfx

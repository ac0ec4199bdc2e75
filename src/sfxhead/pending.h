// The registry value in which the system keeps the renames and deletions it carries out at its
// next start: UTF-16 strings, each ended by a zero, in pairs of a path in NT form and a new name
// (empty for a deletion), and one more zero after the last pair. The clean-up builds the pairs
// of a whole run here and writes them in one go behind what the value already held.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sfx {

// Resizes `block` to `bytes`, keeping its contents (a null block is allocated, and a size of 0
// frees the block); null on failure.
using GrowFn = void* (*)(void* block, size_t bytes);

class PendingList {
  public:
    explicit PendingList(GrowFn grow) : grow_(grow) {}
    PendingList(const PendingList&) = delete;
    PendingList& operator=(const PendingList&) = delete;
    ~PendingList() {
        if (data_ != nullptr)
            grow_(data_, 0);
    }

    // Appends the deletion of `path` (`n` units, a full path as GetFullPathNameW gives it): its
    // NT form, "\??\UNC\" + server and share for "\\server\share\...", "\??\" + the rest for
    // "\\?\...", "\??\" + the path otherwise, and an empty new name. A device ("\\.\...") is
    // no file and is left out. False if the memory cannot grow.
    bool AddDeletion(const uint16_t* path, size_t n);

    // Puts the entries of `held` (`bytes` bytes, what the value holds now) in front of the
    // deletions and closes the whole list with one zero. The held entries are kept as they are
    // up to the empty string that ends their list, but for the deletions that `drop` (if any)
    // is true for; a damaged value is closed first: a stray last byte becomes a unit of its
    // own, an unterminated last string gets its zero, and a last pair without its second string
    // gets an empty one. False if the memory cannot grow.
    using DropFn = bool (*)(void* context, const uint16_t* path, size_t n);
    bool Close(const void* held, size_t bytes, DropFn drop = nullptr, void* context = nullptr);

    size_t Deletions() const { return deletions_; }
    const uint16_t* Data() const { return data_; }
    size_t Length() const { return length_; }

  private:
    bool Reserve(size_t units);
    size_t DropHeld(size_t front, DropFn drop, void* context);
    void Put(const char* ascii);
    void Put(const uint16_t* units, size_t n);

    GrowFn grow_;
    uint16_t* data_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
    size_t deletions_ = 0;
};

} // namespace sfx

// On-disk records of an SFX file's payload, shared by the builders and the runtime module.
// An SFX file is: runtime module image, ArchiveId, entries (header, name, data, checksum), and a
// terminator header whose bytes are all zero. Integers are little-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace payload {

#pragma pack(push, 1)
struct TEntryHeader {
    uint8_t IsExeFile;  // 1 on the entry that the runtime module starts after unpacking
    int32_t NameLength; // name bytes following the header
    int32_t Size;       // data bytes following the name
    uint32_t Time;      // MS-DOS date (high 16 bits) and time (low 16 bits), local time
    uint32_t Attr;      // Win32 attribute mask
};

struct ArchiveId {
    uint8_t Length; // always 10 when written; readers clamp larger values to 10
    char Text[10];  // upper-case hexadecimal digits
};
#pragma pack(pop)

static_assert(sizeof(TEntryHeader) == 17);
static_assert(offsetof(TEntryHeader, IsExeFile) == 0);
static_assert(offsetof(TEntryHeader, NameLength) == 1);
static_assert(offsetof(TEntryHeader, Size) == 5);
static_assert(offsetof(TEntryHeader, Time) == 9);
static_assert(offsetof(TEntryHeader, Attr) == 13);
static_assert(sizeof(ArchiveId) == 11);
static_assert(offsetof(ArchiveId, Text) == 1);

inline constexpr uint32_t kChunkSize = 1048576; // copy buffer of builder and runtime module
inline constexpr uint32_t kChecksumSize = 4;
inline constexpr uint32_t kArchiveIdTextLength = 10;
inline constexpr int64_t kMaxFileOffset = 0x7FFFFFFF; // both sides use signed 32-bit offsets

// True for the header that ends the payload; IsExeFile is not looked at.
inline bool IsTerminator(const TEntryHeader& h) {
    return h.NameLength == 0 && h.Size == 0 && h.Time == 0 && h.Attr == 0;
}

// Fills `id` with the identifier for the random number r (0 <= r < 0x7FFFFFFF): ten upper-case
// hexadecimal digits padded with zeros.
inline void MakeArchiveId(uint32_t r, ArchiveId& id) {
    static const char kDigits[] = "0123456789ABCDEF";
    id.Length = kArchiveIdTextLength;
    for (int i = kArchiveIdTextLength - 1; i >= 0; --i) {
        id.Text[i] = kDigits[r & 0xF];
        r >>= 4;
    }
}

// Names stored in UTF-8 instead of the Windows ANSI code page are marked by an identifier that
// begins with "U8" in place of "00". A number below 0x7FFFFFFF never fills the first two digits,
// so an identifier without the mark always begins with "00", and a runtime module that does not
// know the mark uses the identifier as it always has: as part of a folder name.
inline void MarkNamesUtf8(ArchiveId& id) {
    id.Text[0] = 'U';
    id.Text[1] = '8';
}
inline bool NamesAreUtf8(const ArchiveId& id) {
    return id.Length == kArchiveIdTextLength && id.Text[0] == 'U' && id.Text[1] == '8';
}

// The identifier's number for a 64-bit hash of the payload: folded into 0 .. 0x7FFFFFFE, the
// range of a drawn identifier.
inline uint32_t IdentifierFromHash(uint64_t hash) {
    return static_cast<uint32_t>(hash % 0x7FFFFFFFu);
}

} // namespace payload

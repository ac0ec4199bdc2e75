// On-disk records of a compressed SFX file's payload, shared by the builders, the decoding
// runtime module and packrig-inspect. A compressed SFX file is: the decoding runtime module's
// image, ArchiveId, TPackedHeader, then PackedSize bytes of one raw LZMA2 stream (no container,
// no end marker beyond LZMA2's own end byte). Nothing follows the stream. Integers are
// little-endian.
//
// The stream decodes to UnpackedSize bytes: first the index, EntryCount records of
//   TEntryHeader (the fields of a plain entry), the name, TPackedEntryTail (and TRebuiltTail
//   where the filter is kFilterDeflate),
// then the data of every entry, in index order, each entry's bytes passed through the x86
// branch converter when its tail says so: all of them, or only the code that the section table
// in its first bytes names (FindX86Code), with the converter at position 0 at the first byte
// converted. The checksum of an
// entry is the ByteSum of its name and of its data as stored on disk (before any conversion),
// exactly as in a plain payload.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "payload.h"
#include "x86_filter.h"

namespace payload {

inline constexpr uint8_t kPackedMagic[4] = {'P', 'R', 'Z', '1'};
inline constexpr uint32_t kMaxDictionarySize = 64u << 20; // the runtime refuses larger ones
// The runtime holds the decoded index in memory beside the window and refuses a larger one; no
// tree that fits a Windows drive needs one.
inline constexpr uint64_t kMaxIndexSize = 64u << 20;

enum PackedFilter : uint8_t {
    kFilterNone = 0,
    kFilterX86 = 1,     // x86 branch converter on all of this entry's data
    kFilterX86Code = 2, // x86 branch converter on the code of this PE image only
    kFilterDeflate = 3, // stored as pieces (deflate_pieces.h); a TRebuiltTail follows the tail
};

#pragma pack(push, 1)
struct TPackedHeader {
    uint8_t Magic[4];    // kPackedMagic: no plain entry header starts with these bytes
    uint32_t DictSize;   // LZMA2 dictionary the decoder needs, at most kMaxDictionarySize
    uint32_t EntryCount; // records in the index
    uint64_t IndexSize;  // bytes of the decoded index
    uint64_t DataSize;   // bytes of entry data after the index: the unpacked size of the files
    uint64_t PackedSize; // bytes of the LZMA2 stream following this header
    uint32_t PackedCrc;  // CRC-32 (IEEE 802.3, as zlib and xz) of the PackedSize stream bytes
    uint32_t HeaderCrc;  // CRC-32 of the 40 bytes before this field
};

struct TPackedEntryTail {
    uint32_t Checksum; // ByteSum of the name and the original data
    uint8_t Filter;    // PackedFilter
};

// Behind the tail of a kFilterDeflate record: the entry's bytes in the data region, which
// differ from the file's size that its header gives.
struct TRebuiltTail {
    uint32_t StoredSize; // at most 0x7FFFFFFF
};
#pragma pack(pop)

static_assert(sizeof(TPackedHeader) == 44);
static_assert(offsetof(TPackedHeader, DictSize) == 4);
static_assert(offsetof(TPackedHeader, EntryCount) == 8);
static_assert(offsetof(TPackedHeader, IndexSize) == 12);
static_assert(offsetof(TPackedHeader, DataSize) == 20);
static_assert(offsetof(TPackedHeader, PackedSize) == 28);
static_assert(offsetof(TPackedHeader, PackedCrc) == 36);
static_assert(offsetof(TPackedHeader, HeaderCrc) == 40);
// The bytes of an entry of `size` bytes that its filter has the x86 converter work on, known
// from its first bytes `head` (at least min(size, kCodeProbeSize) of them).
inline X86Span ConvertedSpan(uint8_t filter, const uint8_t* head, uint32_t size) {
    if (filter == kFilterX86)
        return X86Span{0, size};
    if (filter == kFilterX86Code)
        return FindX86Code(head, size, size);
    return X86Span{};
}

static_assert(sizeof(TPackedEntryTail) == 5);
static_assert(sizeof(TRebuiltTail) == 4);
static_assert(offsetof(TPackedEntryTail, Filter) == 4);

} // namespace payload

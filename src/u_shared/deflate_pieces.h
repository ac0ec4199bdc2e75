// The stored form of a file whose deflate streams the builders store inflated (an index record
// with kFilterDeflate): a sequence of pieces that together write the file's bytes. A bytes piece
// holds bytes as they are on disk; a deflate piece holds a stream's inflated bytes and the zlib
// settings whose deflate gives the stream back byte for byte. Integers are little-endian.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace payload {

enum PieceKind : uint8_t {
    kPieceBytes = 0,   // TBytesPiece, then Length bytes
    kPieceDeflate = 1, // TDeflatePiece, then InflatedSize bytes
};

#pragma pack(push, 1)
struct TBytesPiece {
    uint8_t Kind;    // kPieceBytes
    uint32_t Length; // bytes that follow and are written as they are
};

// zlib's deflate (deflateInit2 with these settings, the inflated bytes, then Z_FINISH) writes
// DeflatedSize bytes. With ChunkSize 0 they go out as they are; otherwise they are spread over
// PNG chunks of type IDAT, ChunkSize bytes each but the last, which holds the rest, each chunk
// as its big-endian length, "IDAT", its bytes and the big-endian CRC-32 of type and bytes.
struct TDeflatePiece {
    uint8_t Kind;          // kPieceDeflate
    uint8_t Level;         // 1 to 9
    uint8_t MemLevel;      // 1 to 9
    int8_t WindowBits;     // -15 to -9: raw deflate; 9 to 15: with zlib's header and trailer
    uint8_t Strategy;      // 0 (default) to 4 (fixed codes), zlib's numbering
    uint32_t InflatedSize; // bytes that follow
    uint32_t DeflatedSize; // bytes of the stream they deflate to
    uint32_t ChunkSize;    // 0, or the data bytes of each IDAT chunk but the last
};
#pragma pack(pop)

static_assert(sizeof(TBytesPiece) == 5);
static_assert(offsetof(TBytesPiece, Length) == 1);
static_assert(sizeof(TDeflatePiece) == 17);
static_assert(offsetof(TDeflatePiece, WindowBits) == 3);
static_assert(offsetof(TDeflatePiece, InflatedSize) == 5);
static_assert(offsetof(TDeflatePiece, DeflatedSize) == 9);
static_assert(offsetof(TDeflatePiece, ChunkSize) == 13);

// The bytes that framing adds to each IDAT chunk: length, type, CRC.
inline constexpr uint32_t kChunkFraming = 12;

} // namespace payload

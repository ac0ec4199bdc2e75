// Writing a file back from its stored pieces (deflate_pieces.h): bytes pieces as they are, deflate
// pieces deflated again by zlib at their settings, with PNG chunk framing where a piece asks for
// it. Freestanding (no allocation, no C runtime): the decoding runtime module, packrig-inspect and
// the builders' own check of every piece they store run this same code.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

#include "deflate_pieces.h"

namespace payload {

// Where rebuilt bytes go; false stops the rebuild.
using EmitFn = bool (*)(void* ctx, const uint8_t* data, uint32_t n);

// zlib's deflate takes at most this much for its state and buffers (memLevel 9, 32 KiB window):
// the state, 64 KiB of window, 64 KiB of chains, 128 KiB of hash heads, 128 KiB of pending
// symbols. Each piece's deflate takes its memory from here afresh.
inline constexpr uint32_t kDeflateArenaSize = 400u << 10;

struct DeflateArena {
    alignas(16) uint8_t bytes[kDeflateArenaSize];
    uint32_t used;
};

// One file's rebuild, fed its stored bytes in pieces of any size. Plain data: set up with
// StartRebuild, no constructor, so that it can live in memory handed out by the system.
struct Rebuilder {
    EmitFn emit;
    void* context;
    uint32_t fileLeft;   // bytes of the file still to write
    uint32_t storedLeft; // stored bytes still to come
    uint8_t header[sizeof(TDeflatePiece)];
    uint32_t headerFill; // bytes of the current piece's header so far; 0 between pieces
    bool inPiece;        // the header is complete and the piece's bytes are coming
    TDeflatePiece piece; // the current piece's header (Kind says which)
    uint32_t pieceLeft;  // bytes of the current piece still to come
    uint32_t framed;     // deflated bytes of the current piece written so far
    uint32_t chunkLeft;  // bytes of the current IDAT chunk still to write
    uint32_t chunkCrc;
    uint32_t streams;       // deflate pieces completed
    uint64_t inflatedBytes; // their inflated bytes
    uint64_t deflatedBytes; // the bytes they wrote
    z_stream zlib;
    uint8_t out[16384];
    DeflateArena arena;
};

// Starts rebuilding a file of `fileSize` bytes from `storedSize` stored bytes.
void StartRebuild(Rebuilder& r, uint32_t fileSize, uint32_t storedSize, EmitFn emit, void* context);

// Takes the next `n` stored bytes. False when they break the rules of the pieces (an unknown
// kind, settings zlib does not have, more bytes than the file or the stored size holds, a
// stream that comes out at another size) or when `emit` refused.
bool PutStored(Rebuilder& r, const uint8_t* data, uint32_t n);

// True when every stored byte has come and every byte of the file has been written.
bool RebuildComplete(const Rebuilder& r);

// The program's one rebuilder, for readers that unpack one file at a time: static storage,
// which costs no memory until a file stored as pieces comes.
Rebuilder& SharedRebuilder();

} // namespace payload

// A decoder of raw LZMA2 streams for the runtime module and packrig-inspect: freestanding (no
// allocation, no C runtime), pulling its input through a callback and writing into a window
// that the caller provides.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace lz {

// Fills buf with up to cap compressed bytes; returns how many, 0 at the end of the input or on
// a read failure.
using ReadFn = uint32_t (*)(void* ctx, uint8_t* buf, uint32_t cap);

enum class Status : uint8_t {
    Ok,        // all the bytes asked for were produced
    End,       // the stream ended (its end byte was read) before or at the bytes asked for
    Corrupt,   // the stream breaks LZMA2's rules (a bad control byte, a distance beyond the window)
    Truncated, // the input ran out before the stream ended
};

struct Decoder; // defined in lzma2_decoder_state.h; large (tens of KiB): keep it static

// Starts a stream. `window` holds windowSize bytes and must be at least the stream's dictionary
// size or its whole decoded size, whichever is smaller.
void Init(Decoder& d, uint8_t* window, uint32_t windowSize, ReadFn read, void* ctx);

// Decodes the next `want` bytes into out; `*got` says how many were produced.
Status Read(Decoder& d, uint8_t* out, uint32_t want, uint32_t* got);

// Compressed bytes used so far (the stream's length once Read returned End).
uint64_t Consumed(const Decoder& d);

} // namespace lz

// The state of the raw LZMA2 decoder: the adaptive probabilities of the LZMA model, the range
// decoder, the current chunk's compressed bytes and the position in the caller's window. Plain
// data only, so that the runtime module can keep one in static storage.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "lzma2_decoder.h"

namespace lz {

inline constexpr uint32_t kChunkInputMax = 1u << 16; // compressed bytes of one chunk at most
// Bytes after a chunk's data that a damaged chunk may touch before the decoder notices: one
// symbol reads at most 49 bytes.
inline constexpr uint32_t kInputSlack = 64;
inline constexpr unsigned kStates = 12;
inline constexpr unsigned kPosStatesMax = 16;
inline constexpr unsigned kLiteralCoder = 0x300;    // probabilities of one literal context
inline constexpr unsigned kLiteralContextsMax = 16; // 2^(lc + lp), with lc + lp <= 4

struct LengthProbs {
    uint16_t choice;
    uint16_t choice2;
    uint16_t low[kPosStatesMax][8];
    uint16_t mid[kPosStatesMax][8];
    uint16_t high[256];
};

struct Probs {
    uint16_t isMatch[kStates][kPosStatesMax];
    uint16_t isRep[kStates];
    uint16_t isRepG0[kStates];
    uint16_t isRepG1[kStates];
    uint16_t isRepG2[kStates];
    uint16_t isRep0Long[kStates][kPosStatesMax];
    uint16_t distSlot[4][64];
    uint16_t distSpecial[115]; // slots 4 to 13; element 0 unused
    uint16_t align[16];
    LengthProbs len;
    LengthProbs repLen;
    uint16_t literal[kLiteralCoder * kLiteralContextsMax];
};

enum class ChunkKind : uint8_t { None, Stored, Lzma };

struct Decoder {
    ReadFn read;
    void* ctx;
    uint64_t consumed; // bytes taken from read

    uint8_t* window;
    uint32_t windowSize;
    uint32_t dictPos;  // where the next byte goes in the window
    uint32_t dictFull; // bytes of history in the window since the last dictionary reset
    uint32_t position; // bytes decoded since the last dictionary reset, modulo 2^32

    Status status; // Ok until the stream ends or fails; then sticky
    bool needDictReset;
    bool needProps;
    ChunkKind chunk;
    uint32_t chunkLeft; // bytes the current chunk still decodes to
    uint32_t inPos;
    uint32_t inSize;

    uint8_t lc, lp, pb;
    uint32_t range, code; // range decoder
    uint32_t state;
    uint32_t rep0, rep1, rep2, rep3; // recent distances, minus one
    uint32_t pendingLen;             // bytes of the last match not yet copied

    Probs probs;
    uint8_t in[kChunkInputMax + kInputSlack];
};

} // namespace lz

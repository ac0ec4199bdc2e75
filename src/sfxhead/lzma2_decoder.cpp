// Raw LZMA2 decoding: chunk headers, stored chunks, and LZMA chunks decoded with a range decoder
// over an adaptive bit model into the caller's circular window. Every distance is checked
// against the history in the window, every read of input stays inside the chunk buffer.
#include "lzma2_decoder.h"

#include "lzma2_decoder_state.h"

namespace lz {
namespace {

constexpr uint32_t kTop = 1u << 24;
constexpr unsigned kProbBits = 11;
constexpr uint16_t kProbInit = 1u << (kProbBits - 1);
constexpr unsigned kMoveBits = 5;
constexpr unsigned kLiteralStates = 7; // states below this follow a literal
constexpr unsigned kMatchMinLen = 2;
constexpr unsigned kEndPosModelIndex = 14; // first distance slot with direct bits
constexpr unsigned kAlignBits = 4;

#define LZ_INLINE inline __attribute__((always_inline))

// The range decoder on locals of the decoding loop: the caller copies it in and out, so that
// the compiler keeps it in registers.
struct RangeDecoder {
    uint32_t range;
    uint32_t code;
    const uint8_t* in;

    LZ_INLINE void Normalize() {
        if (range < kTop) {
            range <<= 8;
            code = (code << 8) | *in++;
        }
    }

    LZ_INLINE unsigned Bit(uint16_t& prob) {
        Normalize();
        const uint32_t bound = (range >> kProbBits) * prob;
        if (code < bound) {
            range = bound;
            prob = static_cast<uint16_t>(prob + (((1u << kProbBits) - prob) >> kMoveBits));
            return 0;
        }
        range -= bound;
        code -= bound;
        prob = static_cast<uint16_t>(prob - (prob >> kMoveBits));
        return 1;
    }

    // A symbol of `bits` bits, most significant first, over probs[1 .. 2^bits).
    LZ_INLINE unsigned Tree(uint16_t* probs, unsigned bits) {
        unsigned m = 1;
        for (unsigned i = 0; i < bits; ++i)
            m = (m << 1) | Bit(probs[m]);
        return m - (1u << bits);
    }

    // A symbol of `bits` bits, least significant first, over probs[1 .. 2^bits).
    LZ_INLINE unsigned ReverseTree(uint16_t* probs, unsigned bits) {
        unsigned m = 1;
        unsigned symbol = 0;
        for (unsigned i = 0; i < bits; ++i) {
            const unsigned bit = Bit(probs[m]);
            m = (m << 1) | bit;
            symbol |= bit << i;
        }
        return symbol;
    }

    // `bits` bits of equal probability.
    LZ_INLINE uint32_t Direct(unsigned bits) {
        uint32_t result = 0;
        do {
            Normalize();
            range >>= 1;
            const uint32_t below = (code - range) >> 31; // 1 when code < range
            code -= range & (below - 1);
            result = (result << 1) | (below ^ 1);
        } while (--bits != 0);
        return result;
    }
};

void FillProbs(uint16_t* probs, size_t count) {
    for (size_t i = 0; i < count; ++i)
        probs[i] = kProbInit;
}

// Resets the model for a chunk that starts a new state: probabilities, state and distances.
void ResetState(Decoder& d) {
    Probs& p = d.probs;
    const size_t modelProbs = offsetof(Probs, literal) / sizeof(uint16_t);
    FillProbs(reinterpret_cast<uint16_t*>(&p), modelProbs);
    FillProbs(p.literal, kLiteralCoder << (d.lc + d.lp));
    d.state = 0;
    d.rep0 = d.rep1 = d.rep2 = d.rep3 = 0;
    d.pendingLen = 0;
}

// Reads exactly `count` bytes through the callback; false when the input ends first.
bool ReadExactly(Decoder& d, uint8_t* buf, uint32_t count) {
    while (count != 0) {
        const uint32_t got = d.read(d.ctx, buf, count);
        if (got == 0 || got > count)
            return false;
        d.consumed += got;
        buf += got;
        count -= got;
    }
    return true;
}

uint32_t BigEndian16(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 8) | p[1];
}

// Takes the properties byte of an LZMA chunk: (pb * 5 + lp) * 9 + lc, with lc + lp <= 4.
bool SetProps(Decoder& d, uint8_t props) {
    if (props >= 9 * 5 * 5)
        return false;
    const unsigned lc = props % 9;
    const unsigned lp = (props / 9) % 5;
    const unsigned pb = props / 45;
    if (lc + lp > 4)
        return false;
    d.lc = static_cast<uint8_t>(lc);
    d.lp = static_cast<uint8_t>(lp);
    d.pb = static_cast<uint8_t>(pb);
    return true;
}

// Loads a chunk's bytes into the input buffer, with zeroed slack after them.
bool LoadChunkInput(Decoder& d, uint32_t size) {
    if (!ReadExactly(d, d.in, size))
        return false;
    for (uint32_t i = 0; i < kInputSlack; ++i)
        d.in[size + i] = 0;
    d.inPos = 0;
    d.inSize = size;
    return true;
}

Status StartLzmaChunk(Decoder& d, uint8_t control) {
    uint8_t head[5];
    const uint32_t headSize = control >= 0xC0 ? 5 : 4;
    if (!ReadExactly(d, head, headSize))
        return Status::Truncated;
    if (control >= 0xC0) {
        if (!SetProps(d, head[4]))
            return Status::Corrupt;
        d.needProps = false;
    } else if (d.needProps) {
        return Status::Corrupt;
    }
    if (control >= 0xA0)
        ResetState(d);
    const uint32_t unpacked =
        ((static_cast<uint32_t>(control & 0x1F) << 16) | BigEndian16(head)) + 1;
    const uint32_t packed = BigEndian16(head + 2) + 1;
    if (!LoadChunkInput(d, packed))
        return Status::Truncated;
    // The range decoder starts with a zero byte and the four bytes of its code.
    if (packed < 5 || d.in[0] != 0)
        return Status::Corrupt;
    d.code = (static_cast<uint32_t>(d.in[1]) << 24) | (static_cast<uint32_t>(d.in[2]) << 16) |
             (static_cast<uint32_t>(d.in[3]) << 8) | d.in[4];
    d.range = 0xFFFFFFFFu;
    d.inPos = 5;
    d.chunk = ChunkKind::Lzma;
    d.chunkLeft = unpacked;
    return Status::Ok;
}

// Reads the next chunk's header (and its bytes): Ok with a chunk to decode, End at the end byte.
Status StartChunk(Decoder& d) {
    uint8_t control;
    if (!ReadExactly(d, &control, 1))
        return Status::Truncated;
    if (control == 0x00)
        return Status::End;
    if (control == 0x01 || control >= 0xE0) {
        d.dictFull = 0;
        d.position = 0;
        d.needDictReset = false;
        d.needProps = true;
    } else if (d.needDictReset) {
        return Status::Corrupt;
    }
    if (control >= 0x80)
        return StartLzmaChunk(d, control);
    if (control > 0x02)
        return Status::Corrupt;
    uint8_t head[2];
    if (!ReadExactly(d, head, 2))
        return Status::Truncated;
    const uint32_t size = BigEndian16(head) + 1;
    if (!LoadChunkInput(d, size))
        return Status::Truncated;
    d.chunk = ChunkKind::Stored;
    d.chunkLeft = size;
    return Status::Ok;
}

LZ_INLINE uint32_t BackIndex(uint32_t pos, uint32_t distance, uint32_t windowSize) {
    return pos >= distance ? pos - distance : pos + windowSize - distance;
}

// Copies `n` bytes from `distance` back to win[pos..pos+n), which stays inside the window.
LZ_INLINE void CopyMatch(uint8_t* win, uint32_t windowSize, uint32_t pos, uint32_t distance,
                         uint32_t n) {
    uint8_t* dst = win + pos;
    if (pos >= distance) {
        const uint8_t* src = dst - distance;
        if (distance >= 8) {
            for (; n >= 8; n -= 8, src += 8, dst += 8)
                __builtin_memcpy(dst, src, 8);
        }
        while (n-- != 0)
            *dst++ = *src++;
        return;
    }
    uint32_t from = pos + windowSize - distance;
    while (n-- != 0) {
        *dst++ = win[from++];
        if (from == windowSize)
            from = 0;
    }
}

LZ_INLINE unsigned DecodeLength(RangeDecoder& rc, LengthProbs& probs, unsigned posState) {
    if (rc.Bit(probs.choice) == 0)
        return rc.Tree(probs.low[posState], 3);
    if (rc.Bit(probs.choice2) == 0)
        return 8 + rc.Tree(probs.mid[posState], 3);
    return 16 + rc.Tree(probs.high, 8);
}

// The distance (minus one) of a new match whose length, less the minimum, is `len`.
LZ_INLINE uint32_t DecodeDistance(RangeDecoder& rc, Probs& p, unsigned len) {
    const unsigned slot = rc.Tree(p.distSlot[len < 3 ? len : 3], 6);
    if (slot < 4)
        return slot;
    const unsigned directBits = (slot >> 1) - 1;
    uint32_t distance = (2u | (slot & 1)) << directBits;
    if (slot < kEndPosModelIndex)
        return distance + rc.ReverseTree(p.distSpecial + distance - slot, directBits);
    distance += rc.Direct(directBits - kAlignBits) << kAlignBits;
    return distance + rc.ReverseTree(p.align, kAlignBits);
}

LZ_INLINE unsigned StateAfterLiteral(unsigned state) {
    return state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
}

// Decodes LZMA symbols into the window up to index `limit` (inside the current chunk); the last
// match may be left partly copied. Corrupt on a distance beyond the history or on a read past
// the chunk's bytes; a symbol is checked before any of its bytes is written, so that where a
// stream fails does not depend on how its output is asked for.
Status DecodeLzma(Decoder& d, uint32_t limit) {
    RangeDecoder rc{d.range, d.code, d.in + d.inPos};
    const uint8_t* const inEnd = d.in + d.inSize;
    uint8_t* const win = d.window;
    const uint32_t windowSize = d.windowSize;
    uint32_t pos = d.dictPos;
    uint32_t full = d.dictFull;
    uint32_t position = d.position;
    unsigned state = d.state;
    uint32_t rep0 = d.rep0, rep1 = d.rep1, rep2 = d.rep2, rep3 = d.rep3;
    Probs& p = d.probs;
    const unsigned lc = d.lc;
    const uint32_t lpMask = (1u << d.lp) - 1;
    const uint32_t pbMask = (1u << d.pb) - 1;
    Status status = Status::Ok;

    uint32_t len = d.pendingLen;
    while (true) {
        if (len != 0) {
            const uint32_t n = len < limit - pos ? len : limit - pos;
            CopyMatch(win, windowSize, pos, rep0 + 1, n);
            pos += n;
            position += n;
            full = windowSize - full > n ? full + n : windowSize;
            len -= n;
        }
        if (pos >= limit)
            break;
        const unsigned posState = position & pbMask;
        if (rc.Bit(p.isMatch[state][posState]) == 0) {
            const unsigned prev = full == 0 ? 0 : win[(pos == 0 ? windowSize : pos) - 1];
            uint16_t* probs =
                p.literal + kLiteralCoder * (((position & lpMask) << lc) + (prev >> (8 - lc)));
            unsigned symbol = 1;
            if (state >= kLiteralStates) {
                unsigned matchByte = win[BackIndex(pos, rep0 + 1, windowSize)];
                do {
                    const unsigned matchBit = (matchByte >> 7) & 1;
                    matchByte <<= 1;
                    const unsigned bit = rc.Bit(probs[((1 + matchBit) << 8) + symbol]);
                    symbol = (symbol << 1) | bit;
                    if (bit != matchBit)
                        break;
                } while (symbol < 0x100);
            }
            while (symbol < 0x100)
                symbol = (symbol << 1) | rc.Bit(probs[symbol]);
            if (rc.in > inEnd) {
                status = Status::Corrupt;
                break;
            }
            win[pos++] = static_cast<uint8_t>(symbol);
            ++position;
            if (full < windowSize)
                ++full;
            state = StateAfterLiteral(state);
            continue;
        }
        if (rc.Bit(p.isRep[state]) == 0) {
            len = DecodeLength(rc, p.len, posState);
            state = state < kLiteralStates ? 7 : 10;
            const uint32_t distance = DecodeDistance(rc, p, len);
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = distance;
        } else {
            if (rc.Bit(p.isRepG0[state]) == 0) {
                if (rc.Bit(p.isRep0Long[state][posState]) == 0) {
                    if (rep0 >= full || rc.in > inEnd) {
                        status = Status::Corrupt;
                        break;
                    }
                    state = state < kLiteralStates ? 9 : 11;
                    win[pos] = win[BackIndex(pos, rep0 + 1, windowSize)];
                    ++pos;
                    ++position;
                    if (full < windowSize)
                        ++full;
                    continue;
                }
            } else {
                uint32_t distance;
                if (rc.Bit(p.isRepG1[state]) == 0) {
                    distance = rep1;
                } else {
                    if (rc.Bit(p.isRepG2[state]) == 0) {
                        distance = rep2;
                    } else {
                        distance = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = distance;
            }
            len = DecodeLength(rc, p.repLen, posState);
            state = state < kLiteralStates ? 8 : 11;
        }
        // Also refuses the end marker (all ones), which raw LZMA2 chunks never carry.
        if (rep0 >= full || rc.in > inEnd) {
            status = Status::Corrupt;
            break;
        }
        len += kMatchMinLen;
    }
    d.range = rc.range;
    d.code = rc.code;
    d.inPos = static_cast<uint32_t>(rc.in - d.in);
    d.dictPos = pos;
    d.dictFull = full;
    d.position = position;
    d.state = state;
    d.rep0 = rep0;
    d.rep1 = rep1;
    d.rep2 = rep2;
    d.rep3 = rep3;
    d.pendingLen = len;
    return status;
}

void CopyStored(Decoder& d, uint32_t n) {
    __builtin_memcpy(d.window + d.dictPos, d.in + d.inPos, n);
    d.inPos += n;
    d.dictPos += n;
    d.position += n;
    d.dictFull = d.windowSize - d.dictFull > n ? d.dictFull + n : d.windowSize;
}

// A finished LZMA chunk must have used exactly its bytes and left the range decoder at zero.
bool LzmaChunkEndsCleanly(Decoder& d) {
    RangeDecoder rc{d.range, d.code, d.in + d.inPos};
    rc.Normalize();
    return d.pendingLen == 0 && rc.code == 0 && rc.in == d.in + d.inSize;
}

// Decodes at most `room` bytes of the current chunk into the window at dictPos.
Status DecodeIntoWindow(Decoder& d, uint32_t room) {
    if (d.chunk == ChunkKind::Stored) {
        CopyStored(d, room);
        return Status::Ok;
    }
    return DecodeLzma(d, d.dictPos + room);
}

Status Fail(Decoder& d, Status status) {
    d.status = status;
    return status;
}

} // namespace

void Init(Decoder& d, uint8_t* window, uint32_t windowSize, ReadFn read, void* ctx) {
    d.read = read;
    d.ctx = ctx;
    d.consumed = 0;
    d.window = window;
    d.windowSize = windowSize;
    d.dictPos = 0;
    d.dictFull = 0;
    d.position = 0;
    d.status = Status::Ok;
    d.needDictReset = true;
    d.needProps = true;
    d.chunk = ChunkKind::None;
    d.chunkLeft = 0;
    d.inPos = 0;
    d.inSize = 0;
    d.lc = d.lp = d.pb = 0;
    d.range = d.code = 0;
    d.state = 0;
    d.rep0 = d.rep1 = d.rep2 = d.rep3 = 0;
    d.pendingLen = 0;
}

Status Read(Decoder& d, uint8_t* out, uint32_t want, uint32_t* got) {
    *got = 0;
    if (d.status != Status::Ok)
        return d.status;
    while (true) {
        if (d.chunkLeft == 0) {
            const Status next = StartChunk(d);
            if (next != Status::Ok)
                return Fail(d, next);
        }
        if (*got == want)
            return Status::Ok;
        if (d.dictPos == d.windowSize)
            d.dictPos = 0;
        uint32_t room = d.windowSize - d.dictPos;
        if (room > want - *got)
            room = want - *got;
        if (room > d.chunkLeft)
            room = d.chunkLeft;
        if (room == 0) // only with an empty window
            return Fail(d, Status::Corrupt);
        const uint32_t start = d.dictPos;
        const Status status = DecodeIntoWindow(d, room);
        const uint32_t n = d.dictPos - start;
        __builtin_memcpy(out + *got, d.window + start, n);
        *got += n;
        d.chunkLeft -= n;
        if (status != Status::Ok)
            return Fail(d, status);
        if (d.chunkLeft == 0 && d.chunk == ChunkKind::Lzma && !LzmaChunkEndsCleanly(d))
            return Fail(d, Status::Corrupt);
    }
}

uint64_t Consumed(const Decoder& d) {
    return d.consumed;
}

} // namespace lz

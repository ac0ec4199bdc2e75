// The LZMA2 decoder against liblzma's raw encoder: random, repetitive, text and real program
// data at several settings, fed and drained in many piece sizes, with windows of the smallest
// size allowed; damaged and cut streams must fail cleanly.
#include "lzma2_decoder.h"
#include "lzma2_decoder_state.h"
#include "lzma_testdata.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using lztest::EncodeLzma2;

struct Source {
    const Bytes* data;
    size_t pos;
    uint32_t piece; // most bytes handed out per call
};

uint32_t ReadSource(void* ctx, uint8_t* buf, uint32_t cap) {
    auto* s = static_cast<Source*>(ctx);
    const size_t n = std::min<size_t>({cap, s->piece, s->data->size() - s->pos});
    std::copy_n(s->data->data() + s->pos, n, buf);
    s->pos += n;
    return static_cast<uint32_t>(n);
}

struct Decoded {
    lz::Status status;
    Bytes out;
    uint64_t consumed;
};

// Decodes `stream` asking for `outPiece` bytes a call until the decoder stops; the output is
// capped at `cap` bytes.
Decoded DecodeStream(const Bytes& stream, uint32_t windowSize, uint32_t inPiece, uint32_t outPiece,
                     size_t cap) {
    static lz::Decoder d;
    Bytes window(std::max<uint32_t>(windowSize, 1));
    Source src{&stream, 0, inPiece};
    lz::Init(d, window.data(), windowSize, ReadSource, &src);
    Decoded r{lz::Status::Ok, {}, 0};
    Bytes piece(outPiece);
    while (r.status == lz::Status::Ok && r.out.size() < cap) {
        uint32_t got = 0;
        r.status = lz::Read(d, piece.data(), outPiece, &got);
        EXPECT_LE(got, outPiece);
        r.out.insert(r.out.end(), piece.begin(), piece.begin() + got);
        if (r.status == lz::Status::Ok) {
            EXPECT_EQ(got, outPiece);
        }
    }
    r.consumed = lz::Consumed(d);
    return r;
}

uint32_t MinWindow(size_t unpacked, uint32_t dict) {
    return static_cast<uint32_t>(std::min<size_t>(unpacked, dict));
}

struct Case {
    const char* name;
    Bytes (*make)();
    uint32_t preset;
    uint32_t lc, lp, pb;
    uint32_t dict;
};

const Case kCases[] = {
    {"random", [] { return lztest::RandomBytes(300000, 1); }, 6, 3, 0, 2, 1 << 20},
    {"runs", [] { return lztest::RepetitiveBytes(2500000); }, 9, 3, 0, 2, 1 << 16},
    {"text", [] { return lztest::TextBytes(400000); }, 9 | LZMA_PRESET_EXTREME, 0, 4, 0, 1 << 20},
    {"text-lc4", [] { return lztest::TextBytes(200000); }, 1, 4, 0, 4, 4096},
    {"binary", [] { return lztest::ProgramBytes(1500000); }, 6, 0, 2, 2, 1 << 18},
    {"binary-small-dict", [] { return lztest::ProgramBytes(600000); }, 3, 1, 1, 3, 4096},
    {"mixed", [] { return lztest::MixedBytes(900000); }, 9, 2, 2, 1, 1 << 16},
    {"tiny", [] { return Bytes{'a'}; }, 6, 3, 0, 2, 1 << 20},
};

TEST(Lzma2Decoder, MatchesLiblzmaAcrossSettingsAndPieceSizes) {
    const uint32_t pieces[][2] = {
        {1u << 20, 1u << 20}, {1, 4096}, {4096, 1}, {7, 333}, {65536, 65537}};
    for (const Case& c : kCases) {
        const Bytes data = c.make();
        const Bytes stream = EncodeLzma2(data, c.preset, c.lc, c.lp, c.pb, c.dict);
        const uint32_t window = MinWindow(data.size(), c.dict);
        for (const auto& piece : pieces) {
            if (data.size() > 300000 && (piece[0] == 1 || piece[1] == 1))
                continue; // the byte-at-a-time runs take the smaller cases only
            SCOPED_TRACE(testing::Message() << c.name << " in " << piece[0] << " out " << piece[1]);
            const Decoded r = DecodeStream(stream, window, piece[0], piece[1], data.size() + 1);
            EXPECT_EQ(r.status, lz::Status::End);
            EXPECT_TRUE(r.out == data);
            EXPECT_EQ(r.consumed, stream.size());
        }
    }
}

// Stored chunks, dictionary and state resets and property changes, written by hand around
// liblzma's chunks.
TEST(Lzma2Decoder, HandlesEveryChunkKind) {
    const Bytes text = lztest::TextBytes(5000); // a multiple of four bytes
    const Bytes lzma = EncodeLzma2(text, 6, 3, 0, 2, 1 << 16);
    ASSERT_GE(lzma.size(), 7u);
    ASSERT_EQ(lzma[0] & 0xE0, 0xE0);
    const Bytes chunk(lzma.begin(), lzma.end() - 1); // without the end byte

    auto stored = [](uint8_t control, const Bytes& bytes) {
        Bytes s(3 + bytes.size());
        s[0] = control;
        s[1] = static_cast<uint8_t>((bytes.size() - 1) >> 8);
        s[2] = static_cast<uint8_t>(bytes.size() - 1);
        std::copy(bytes.begin(), bytes.end(), s.begin() + 3);
        return s;
    };
    auto withControl = [&](uint8_t control) {
        Bytes c = chunk;
        c[0] = static_cast<uint8_t>(control | (c[0] & 0x1F));
        if (control < 0xC0)
            c.erase(c.begin() + 5); // no properties byte
        return c;
    };
    const Bytes hello{'h', 'e', 'l', 'l', 'o'};
    const Bytes pad{1, 2, 3, 0};
    const Bytes zeros{0, 0, 0, 0};
    struct Built {
        const char* name;
        std::vector<Bytes> parts;
        Bytes expected;
        lz::Status status;
    };
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const Built built[] = {
        {"stored with reset", {stored(1, hello)}, hello, lz::Status::End},
        {"stored then more stored",
         {stored(1, hello), stored(2, hello)},
         cat({hello, hello}),
         lz::Status::End},
        {"stored then lzma with properties",
         {stored(1, hello), chunk},
         cat({hello, text}),
         lz::Status::End},
        {"lzma, then dictionary reset", {chunk, chunk}, cat({text, text}), lz::Status::End},
        // A stored lead-in of four bytes ending in zero leaves the position and the previous
        // byte as a fresh stream has them, so the same chunk decodes to the same text.
        {"stored, then lzma with new properties",
         {stored(1, pad), withControl(0xC0)},
         cat({pad, text}),
         lz::Status::End},
        {"lzma, then state reset",
         {stored(1, pad), withControl(0xC0), stored(2, zeros), withControl(0xA0)},
         cat({pad, text, zeros, text}),
         lz::Status::End},
        {"stored without a first reset", {stored(2, hello)}, {}, lz::Status::Corrupt},
        {"lzma without a first reset", {withControl(0xC0)}, {}, lz::Status::Corrupt},
        {"stored reset, then lzma without properties",
         {stored(1, hello), withControl(0xA0)},
         hello,
         lz::Status::Corrupt},
        {"bad control byte", {Bytes{0x03}}, {}, lz::Status::Corrupt},
        {"bad properties", {Bytes{0xE0, 0, 0, 0, 4, 225}}, {}, lz::Status::Corrupt},
        {"lc + lp above 4", {Bytes{0xE0, 0, 0, 0, 4, 3 + 9 * 2}}, {}, lz::Status::Corrupt},
        {"range decoder not starting at zero",
         {Bytes{0xE0, 0, 0, 0, 4, 93, 1, 0, 0, 0, 0}},
         {},
         lz::Status::Corrupt},
    };
    for (const Built& b : built) {
        SCOPED_TRACE(b.name);
        Bytes stream;
        for (const Bytes& p : b.parts)
            stream.insert(stream.end(), p.begin(), p.end());
        if (b.status == lz::Status::End)
            stream.push_back(0);
        for (uint32_t piece : {1u, 3u, 100000u}) {
            const Decoded r = DecodeStream(stream, 1 << 16, piece, piece, 1 << 20);
            EXPECT_EQ(r.status, b.status);
            EXPECT_TRUE(r.out == b.expected) << r.out.size();
        }
    }
}

// Asking for exactly the decoded size reports the end in the same call; bytes after the end
// byte are never read.
TEST(Lzma2Decoder, ReportsTheEndWithTheLastBytes) {
    const Bytes data = lztest::TextBytes(100000);
    Bytes stream = EncodeLzma2(data, 6, 3, 0, 2, 1 << 20);
    const size_t streamSize = stream.size();
    stream.insert(stream.end(), {1, 2, 3, 4});
    static lz::Decoder d;
    Bytes window(data.size()), out(data.size());
    Source src{&stream, 0, 1 << 20};
    lz::Init(d, window.data(), static_cast<uint32_t>(window.size()), ReadSource, &src);
    uint32_t got = 0;
    EXPECT_EQ(lz::Read(d, out.data(), static_cast<uint32_t>(out.size()), &got), lz::Status::End);
    EXPECT_EQ(got, data.size());
    EXPECT_TRUE(out == data);
    EXPECT_EQ(lz::Consumed(d), streamSize);
    EXPECT_EQ(src.pos, streamSize);
    EXPECT_EQ(lz::Read(d, out.data(), 10, &got), lz::Status::End);
    EXPECT_EQ(got, 0u);
}

// A window one byte short of a match's distance must refuse the stream, not read outside it.
TEST(Lzma2Decoder, RefusesDistancesBeyondTheWindow) {
    Bytes data = lztest::RandomBytes(70000, 5);
    std::copy_n(data.begin(), 20000, data.begin() + 50000); // a match 50000 back
    const Bytes stream = EncodeLzma2(data, 6, 3, 0, 2, 1 << 20);
    EXPECT_EQ(DecodeStream(stream, 50000, 4096, 4096, 1 << 20).status, lz::Status::End);
    const Decoded r = DecodeStream(stream, 49999, 4096, 4096, 1 << 20);
    EXPECT_EQ(r.status, lz::Status::Corrupt);
    EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin()));
}

TEST(Lzma2Decoder, CutStreamsAreTruncated) {
    const Bytes data = lztest::MixedBytes(200000);
    const Bytes stream = EncodeLzma2(data, 6, 3, 0, 2, 1 << 20);
    for (size_t keep : {size_t{0}, size_t{1}, size_t{3}, size_t{6}, size_t{100}, stream.size() / 2,
                        stream.size() - 2, stream.size() - 1}) {
        SCOPED_TRACE(keep);
        const Bytes cut(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(keep));
        const Decoded r = DecodeStream(cut, 1 << 20, 1000, 5000, 1 << 20);
        EXPECT_EQ(r.status, lz::Status::Truncated);
        EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), data.begin()));
        EXPECT_EQ(r.consumed, keep);
    }
}

// Any flipped bit either fails or, where the damage goes unseen, still stays within bounds;
// the runtime's CRC catches the rest. Most flips in the chunk headers and range-coded bytes
// must be noticed.
TEST(Lzma2Decoder, FlippedBitsFailCleanly) {
    const Bytes data = lztest::MixedBytes(150000);
    const Bytes stream = EncodeLzma2(data, 6, 3, 0, 2, 1 << 20);
    std::mt19937 rng(7);
    int noticed = 0;
    const int flips = 300;
    for (int i = 0; i < flips; ++i) {
        Bytes bad = stream;
        const size_t at = rng() % bad.size();
        bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        const Decoded r = DecodeStream(bad, 1 << 20, 4096, 4096, data.size() + 4096);
        EXPECT_LE(r.out.size(), data.size() + 4096);
        if (r.status != lz::Status::End || r.out != data)
            ++noticed;
        if (r.status != lz::Status::End) {
            EXPECT_NE(r.status, lz::Status::Ok);
        }
    }
    EXPECT_EQ(noticed, flips);
}

TEST(Lzma2Decoder, EmptyWindowRefusesData) {
    const Bytes stream = EncodeLzma2(Bytes{'x', 'y'}, 6, 3, 0, 2, 1 << 20);
    EXPECT_EQ(DecodeStream(stream, 0, 64, 64, 64).status, lz::Status::Corrupt);
    EXPECT_EQ(DecodeStream(Bytes{0}, 0, 64, 64, 64).status, lz::Status::End);
}

} // namespace

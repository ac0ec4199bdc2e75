// The x86 converter against liblzma's x86 filter, and CRC-32 against known values and
// liblzma's: encodings must match byte for byte, decoding must undo encoding across any split.
#include "crc32.h"
#include "lzma_testdata.h"
#include "pe_testdata.h"
#include "x86_filter.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <random>

namespace {

using lztest::Bytes;

// Runs the converter over `data` handed over in pieces that end at the given split points,
// carrying the unfinished bytes into the next call as a caller must.
Bytes Convert(const Bytes& data, const std::vector<size_t>& splits, bool encode) {
    Bytes out;
    Bytes pending;
    payload::X86State state;
    size_t from = 0;
    auto feed = [&](size_t to) {
        pending.insert(pending.end(), data.begin() + static_cast<ptrdiff_t>(from),
                       data.begin() + static_cast<ptrdiff_t>(to));
        from = to;
        const uint32_t done = payload::X86Convert(state, pending.data(),
                                                  static_cast<uint32_t>(pending.size()), encode);
        EXPECT_GE(done + 4, pending.size() < 5 ? 0 : pending.size());
        out.insert(out.end(), pending.begin(), pending.begin() + done);
        pending.erase(pending.begin(), pending.begin() + done);
    };
    for (size_t s : splits)
        feed(s);
    feed(data.size());
    out.insert(out.end(), pending.begin(), pending.end());
    EXPECT_EQ(state.pos, out.size() - pending.size());
    return out;
}

// Decodes liblzma's raw LZMA2 stream without any filter, giving the bytes its x86 filter made.
Bytes DecodeLzma2(const Bytes& stream, size_t size) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 0);
    opt.dict_size = 1 << 20;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    Bytes out(size);
    size_t inPos = 0, outPos = 0;
    EXPECT_EQ(lzma_raw_buffer_decode(filters, nullptr, stream.data(), &inPos, stream.size(),
                                     out.data(), &outPos, out.size()),
              LZMA_OK);
    out.resize(outPos);
    return out;
}

Bytes LiblzmaX86(const Bytes& data) {
    const Bytes stream = lztest::EncodeRaw(data, {{LZMA_FILTER_X86, nullptr}}, 0, 3, 0, 2, 1 << 20);
    return DecodeLzma2(stream, data.size());
}

// Bytes dense in E8/E9 opcodes and 00/FF operand bytes, so that every rule of the converter
// meets every neighbour.
Bytes BranchHeavy(size_t n, uint32_t seed) {
    static const uint8_t kAlphabet[] = {0xE8, 0xE9, 0x00, 0xFF, 0x01, 0x12, 0xE8, 0x00, 0xFF, 0x7F};
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = kAlphabet[rng() % sizeof kAlphabet];
    return b;
}

struct Sample {
    const char* name;
    Bytes data;
};

std::vector<Sample> Samples() {
    std::vector<Sample> s;
    s.push_back({"programs", lztest::ProgramBytes(3000000)});
    for (uint32_t seed = 1; seed <= 4; ++seed)
        s.push_back({"branch-heavy", BranchHeavy(200000, seed)});
    s.push_back({"random", lztest::RandomBytes(100000, 2)});
    s.push_back({"short", Bytes{0xE8, 0, 0, 0, 0, 0xE8}});
    s.push_back({"four bytes", Bytes{0xE8, 0, 0, 0}});
    return s;
}

TEST(X86Filter, EncodesAsLiblzmaAndDecodesBackAcrossSplits) {
    std::mt19937 rng(5);
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        const Bytes expected = LiblzmaX86(s.data);
        const Bytes whole = Convert(s.data, {}, true);
        if (s.data.size() > 1000) {
            EXPECT_FALSE(expected == s.data) << "nothing converted";
        }
        EXPECT_TRUE(whole == expected);
        EXPECT_TRUE(Convert(whole, {}, false) == s.data);
        for (int round = 0; round < 4; ++round) {
            std::vector<size_t> splits;
            const size_t step = round == 0 ? 1 : 1 + rng() % (round * 40);
            for (size_t at = step; at < s.data.size() && splits.size() < 60000; at += step)
                splits.push_back(at + rng() % 3 > s.data.size() ? at : at + rng() % 3);
            std::sort(splits.begin(), splits.end());
            EXPECT_TRUE(Convert(s.data, splits, true) == expected) << "encode, round " << round;
            EXPECT_TRUE(Convert(whole, splits, false) == s.data) << "decode, round " << round;
        }
    }
}

TEST(X86Filter, PositionsCountFromTheFirstCall) {
    const Bytes call{0xE8, 0x10, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90, 0x90, 0x90};
    Bytes buf = call;
    payload::X86State state;
    state.pos = 0x1000;
    EXPECT_EQ(payload::X86Convert(state, buf.data(), static_cast<uint32_t>(buf.size()), true), 6u);
    EXPECT_EQ(buf[1], 0x15); // 0x10 + 0x1000 + 5
    EXPECT_EQ(buf[2], 0x10);
    EXPECT_EQ(state.pos, 0x1006u);
}

struct SpanCase {
    const char* what;
    std::string head;
    uint32_t fileSize;
    payload::X86Span expected;
};

TEST(X86Code, SpansTheSectionsThatHoldCode) {
    using petest::Headers;
    using petest::kCode, petest::kData, petest::kDebug, petest::kRunOnly;
    std::string farTable = Headers({{0x400, 0x100, kCode}});
    petest::PutLe(farTable, 0x3C, 0x0FE0, 4); // the signature lies at the probe's end
    std::string wideOptional = Headers({{0x400, 0x100, kCode}}, 0x1000);
    petest::PutLe(wideOptional, 0x54, 0x0FA0, 2); // the table starts inside, ends past the probe
    const SpanCase cases[] = {
        {"code between data and debug records",
         Headers({{0x400, 0x800, kData}, {0xC00, 0x3000, kCode}, {0x3C00, 0x9000, kDebug}}),
         0xCC00,
         {0xC00, 0x3C00}},
        {"two code sections with data between",
         Headers({{0x9000, 0x200, kCode}, {0x400, 0x100, kRunOnly}, {0x800, 0x200, kData}}),
         0x10000,
         {0x400, 0x9200}},
        {"cut at the end of a short file",
         Headers({{0x400, 0x1000, kCode}}),
         0x900,
         {0x400, 0x900}},
        {"a size that would wrap around",
         Headers({{0x400, 0xFFFFFF00, kCode}}),
         0x2000,
         {0x400, 0x2000}},
        {"sections at or past the end, or empty, are left out",
         Headers({{0x2000, 0x100, kCode}, {0x800, 0, kCode}, {0x600, 0x10, kCode}}),
         0x2000,
         {0x600, 0x610}},
        {"code over the headers starts after the section table",
         Headers({{0, 0x1000, kCode}}),
         0x1000,
         {0x80, 0x1000}},
        {"no code", Headers({{0x400, 0x100, kData}, {0x500, 0x100, kDebug}}), 0x1000, {}},
        {"no sections", Headers({}), 0x1000, {}},
        {"table past the first bytes at hand",
         Headers({{0x400, 0x100, kCode}}).substr(0, 0x70),
         0x1000,
         {}},
        {"signature past the probe", farTable, 0x2000, {}},
        {"table past the probe", wideOptional, 0x2000, {}},
        {"too short for the DOS header", std::string(0x3F, 'M'), 0x3F, {}},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto* head = reinterpret_cast<const uint8_t*>(c.head.data());
        const uint32_t headSize = static_cast<uint32_t>(c.head.size());
        const payload::X86Span span =
            payload::FindX86Code(head, headSize < c.fileSize ? headSize : c.fileSize, c.fileSize);
        EXPECT_EQ(span.begin, c.expected.begin);
        EXPECT_EQ(span.end, c.expected.end);
    }
}

// A span's bytes come out as liblzma's x86 filter makes them from the span alone, the bytes
// around it unchanged, however the data is cut into pieces; decoding undoes it.
TEST(X86Code, OnlyTheSpanIsConvertedAcrossSplits) {
    const Bytes data = BranchHeavy(300000, 9);
    const payload::X86Span spans[] = {{0, 300000}, {1000, 250001}, {299990, 300000}, {7, 7}};
    std::mt19937 rng(11);
    for (const payload::X86Span& span : spans) {
        SCOPED_TRACE(span.begin);
        Bytes expected = data;
        const Bytes inside(data.begin() + span.begin, data.begin() + span.end);
        const Bytes converted = inside.empty() ? inside : LiblzmaX86(inside);
        std::copy(converted.begin(), converted.end(), expected.begin() + span.begin);
        for (bool encode : {true, false}) {
            const Bytes& from = encode ? data : expected;
            const Bytes& to = encode ? expected : data;
            Bytes out, pending;
            payload::X86State state;
            size_t fed = 0;
            while (fed < from.size()) {
                const size_t piece = std::min<size_t>(from.size() - fed, 1 + rng() % 5000);
                pending.insert(pending.end(), from.begin() + static_cast<ptrdiff_t>(fed),
                               from.begin() + static_cast<ptrdiff_t>(fed + piece));
                fed += piece;
                const uint32_t done = payload::X86ConvertSpan(
                    state, span, static_cast<uint32_t>(out.size()), pending.data(),
                    static_cast<uint32_t>(pending.size()), encode);
                ASSERT_LE(pending.size() - done, 4u);
                out.insert(out.end(), pending.begin(), pending.begin() + done);
                pending.erase(pending.begin(), pending.begin() + done);
            }
            out.insert(out.end(), pending.begin(), pending.end());
            EXPECT_TRUE(out == to) << (encode ? "encode" : "decode");
        }
    }
}

TEST(Crc32, MatchesKnownValuesAndLiblzma) {
    EXPECT_EQ(payload::Crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(payload::Crc32(0, "", 0), 0u);
    EXPECT_EQ(payload::Crc32(0, "a", 1), 0xE8B7BE43u);
    const Bytes data = lztest::RandomBytes(100001, 8);
    const uint32_t theirs = lzma_crc32(data.data(), data.size(), 0);
    EXPECT_EQ(payload::Crc32(0, data.data(), data.size()), theirs);
    const uint32_t first = payload::Crc32(0, data.data(), 777);
    EXPECT_EQ(payload::Crc32(first, data.data() + 777, data.size() - 777), theirs);
}

} // namespace

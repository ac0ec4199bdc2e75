// The x86 converter against liblzma's x86 filter, and CRC-32 against known values and
// liblzma's: encodings must match byte for byte, decoding must undo encoding across any split.
#include "crc32.h"
#include "lzma_testdata.h"
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

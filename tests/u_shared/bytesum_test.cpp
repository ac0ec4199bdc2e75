// ByteSum against a plain byte loop, on every alignment and length around the SIMD block size.
#include "bytesum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

uint32_t PlainSum(const uint8_t* p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return s;
}

TEST(ByteSum, NameAbcGives294) {
    EXPECT_EQ(payload::ByteSum("abc", 3), 294u);
    EXPECT_EQ(payload::ByteSum("abc", 0), 0u);
}

TEST(ByteSum, MatchesPlainLoopAtEveryOffsetAndLength) {
    std::vector<uint8_t> buf(300);
    std::mt19937 rng(7);
    for (auto& b : buf)
        b = static_cast<uint8_t>(rng());
    for (size_t off = 0; off < 17; ++off)
        for (size_t len = 0; len + off <= buf.size(); ++len)
            ASSERT_EQ(payload::ByteSum(buf.data() + off, len), PlainSum(buf.data() + off, len))
                << off << " " << len;
}

TEST(ByteSum, WrapsModulo2To32) {
    // 2^24 + 1 bytes of 0xFF sum to 255 * (2^24 + 1), which exceeds 2^32.
    std::vector<uint8_t> big((1u << 24) + 1, 0xFF);
    uint64_t exact = 255ull * big.size();
    EXPECT_EQ(payload::ByteSum(big.data(), big.size()), static_cast<uint32_t>(exact));
}

TEST(ByteSum, ChunkingDoesNotChangeTheTotal) {
    std::vector<uint8_t> data(3'000'000);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<uint8_t>(rng());
    uint32_t chunked = 0;
    for (size_t done = 0; done < data.size(); done += 1048576)
        chunked +=
            payload::ByteSum(data.data() + done, std::min<size_t>(1048576, data.size() - done));
    EXPECT_EQ(chunked, payload::ByteSum(data.data(), data.size()));
}

} // namespace

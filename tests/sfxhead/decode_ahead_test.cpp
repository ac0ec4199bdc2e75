// Decoding ahead through the ring, with a real second thread: the reader sees exactly what the
// decoder gives, in any read sizes, and the status with which the stream stopped.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <semaphore>
#include <thread>

#include "decode_ahead.h"
#include "lzma2_decoder_state.h"
#include "memory_host.h"

namespace {

using sfx::AheadRing;

struct ThreadSignals {
    std::counting_semaphore<AheadRing::kSlots> freeSlots{AheadRing::kSlots};
    std::counting_semaphore<AheadRing::kSlots> filledSlots{0};
    void WaitFree() { freeSlots.acquire(); }
    void PostFree() { freeSlots.release(); }
    void WaitFilled() { filledSlots.acquire(); }
    void PostFilled() { filledSlots.release(); }
};

struct MemoryInput {
    std::string bytes;
    size_t pos = 0;
};

uint32_t Pull(void* ctx, uint8_t* buf, uint32_t cap) {
    auto& in = *static_cast<MemoryInput*>(ctx);
    size_t n = std::min<size_t>(cap, in.bytes.size() - in.pos);
    std::memcpy(buf, in.bytes.data() + in.pos, n);
    in.pos += n;
    return static_cast<uint32_t>(n);
}

// Reads the whole stream through the ring in sizes drawn from `seed`; returns the bytes and the
// status of the read that came up short.
std::pair<std::string, lz::Status> ReadThroughRing(const std::string& stream, uint32_t window,
                                                   uint32_t seed) {
    MemoryInput input{stream};
    auto decoder = std::make_unique<lz::Decoder>();
    auto buffer = std::make_unique<uint8_t[]>(window);
    lz::Init(*decoder, buffer.get(), window, Pull, &input);
    auto ring = std::make_unique<AheadRing>();
    ring->decoder = decoder.get();
    ThreadSignals signals;
    std::thread decoding([&] { sfx::DecodeIntoRing(*ring, signals); });
    std::mt19937 gen(seed);
    std::string out;
    std::vector<uint8_t> chunk(3 * AheadRing::kSlotSize);
    lz::Status s = lz::Status::Ok;
    while (s == lz::Status::Ok) {
        uint32_t want = gen() % 3 == 0 ? 1 : static_cast<uint32_t>(gen() % chunk.size()) + 1;
        uint32_t got = 0;
        s = sfx::ReadFromRing(*ring, signals, chunk.data(), want, &got);
        EXPECT_TRUE(s != lz::Status::Ok || got == want);
        out.append(reinterpret_cast<char*>(chunk.data()), got);
    }
    uint32_t got = 1;
    EXPECT_EQ(sfx::ReadFromRing(*ring, signals, chunk.data(), 1, &got), s) << "stays ended";
    EXPECT_EQ(got, 0u);
    decoding.join();
    return {out, s};
}

TEST(DecodeAhead, ReaderGetsEveryByteAndTheEnd) {
    std::mt19937 gen(7);
    for (size_t size :
         {size_t{0}, size_t{1}, size_t{AheadRing::kSlotSize}, size_t{2 * AheadRing::kSlotSize},
          size_t{3 * AheadRing::kSlotSize + 17},
          size_t{(AheadRing::kSlots + 2) * AheadRing::kSlotSize + 5}}) { // round the ring
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>(gen() % 16 == 0 ? gen() : i / 1000);
        auto [out, status] = ReadThroughRing(sfxtest::Lzma2Encode(data, 1u << 16), 1u << 16,
                                             static_cast<uint32_t>(size));
        EXPECT_EQ(status, lz::Status::End) << size;
        EXPECT_TRUE(out == data) << size;
    }
}

TEST(DecodeAhead, ReaderGetsTheDecodersFault) {
    std::string data(2u << 20, 'a');
    for (size_t i = 0; i < data.size(); i += 1 + i % 97)
        data[i] = static_cast<char>(i);
    std::string stream = sfxtest::Lzma2Encode(data, 1u << 16);
    auto [cutOut, cut] = ReadThroughRing(stream.substr(0, stream.size() / 2), 1u << 16, 1);
    EXPECT_EQ(cut, lz::Status::Truncated);
    EXPECT_TRUE(data.starts_with(cutOut));
    stream[stream.size() / 3] ^= 0x55;
    EXPECT_NE(ReadThroughRing(stream, 1u << 16, 2).second, lz::Status::End);
}

} // namespace

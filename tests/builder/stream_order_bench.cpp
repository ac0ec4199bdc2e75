// Cost of ordering a compressed stream by content: sketching 1 MiB (the builder's chunk)
// against ByteSum's neighbour memcpy of it, and ordering a tree of many sketched entries.
#include "stream_order.h"

#include "lzma_testdata.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t kSize = 1 << 20;

void BM_ContentSketch(benchmark::State& state) {
    std::vector<uint8_t> data = lztest::RandomBytes(kSize, 7);
    fpackrig::ContentSketch sketch;
    for (auto _ : state) {
        sketch.Update(data.data(), data.size());
        benchmark::DoNotOptimize(sketch.Take());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> src = lztest::RandomBytes(kSize, 7), dst(kSize);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kSize);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

// state.range(0) entries of 16 KiB (16 features each) drawn from a pool of features, so that
// entries share some with many others: the order's work grows with what entries share.
void BM_SimilarityOrder(benchmark::State& state) {
    std::mt19937_64 random(11);
    const size_t count = static_cast<size_t>(state.range(0));
    std::vector<fpackrig::SketchedEntry> entries(count);
    for (fpackrig::SketchedEntry& entry : entries) {
        entry.size = 16 << 10;
        for (int i = 0; i < 16; ++i)
            entry.features.push_back(random() % (count * 2));
        std::sort(entry.features.begin(), entry.features.end());
        entry.features.erase(std::unique(entry.features.begin(), entry.features.end()),
                             entry.features.end());
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(fpackrig::SimilarityOrder(entries, 64 << 20));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

BENCHMARK(BM_ContentSketch);
BENCHMARK(BM_Memcpy);
BENCHMARK(BM_SimilarityOrder)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

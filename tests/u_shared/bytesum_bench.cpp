// ByteSum throughput against memcpy of the same 1 MiB buffer (the builder's chunk size).
#include "bytesum.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t kSize = 1 << 20;

void BM_ByteSum(benchmark::State& state) {
    std::vector<uint8_t> buf(kSize, 0x5A);
    for (auto _ : state)
        benchmark::DoNotOptimize(payload::ByteSum(buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> src(kSize, 0x5A), dst(kSize);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), kSize);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

BENCHMARK(BM_ByteSum);
BENCHMARK(BM_Memcpy);

} // namespace

BENCHMARK_MAIN();

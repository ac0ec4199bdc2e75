// Decoding speed of our LZMA2 decoder against liblzma's on the same stream: wine's i386 DLLs
// and real text from this machine, about 40 MB, encoded once by liblzma. Output goes to a
// 1 MiB buffer, as the runtime module unpacks.
#include "lzma2_decoder.h"
#include "lzma2_decoder_state.h"
#include "lzma_testdata.h"

#include <benchmark/benchmark.h>
#include <lzma.h>

#include <filesystem>
#include <fstream>

namespace {

using lztest::Bytes;

constexpr uint32_t kDict = 8u << 20;
constexpr size_t kOutChunk = 1 << 20;

// Documentation and Python sources of this machine, up to n bytes.
Bytes RealText(size_t n) {
    namespace fs = std::filesystem;
    Bytes b;
    for (const char* root : {"/usr/share/doc", "/usr/lib/python3"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec);
             it != fs::recursive_directory_iterator() && b.size() < n; it.increment(ec)) {
            const auto ext = it->path().extension();
            if (!it->is_regular_file(ec) || (ext != ".py" && ext != ".txt" && ext != ".html" &&
                                             it->path().filename() != "copyright"))
                continue;
            std::ifstream in(it->path(), std::ios::binary);
            b.insert(b.end(), std::istreambuf_iterator<char>(in), {});
        }
    }
    b.resize(std::min(b.size(), n));
    return b;
}

struct Corpus {
    Bytes data;
    Bytes stream;
};

const Corpus& TheCorpus() {
    static const Corpus c = [] {
        Corpus k;
        k.data = lztest::ProgramBytes(30u << 20);
        const Bytes text = RealText(10u << 20);
        k.data.insert(k.data.end(), text.begin(), text.end());
        k.stream = lztest::EncodeLzma2(k.data, 6, 3, 0, 2, kDict);
        return k;
    }();
    return c;
}

struct Memory {
    const Bytes* data;
    size_t pos;
};

uint32_t ReadMemory(void* ctx, uint8_t* buf, uint32_t cap) {
    auto* m = static_cast<Memory*>(ctx);
    const size_t n = std::min<size_t>(cap, m->data->size() - m->pos);
    std::copy_n(m->data->data() + m->pos, n, buf);
    m->pos += n;
    return static_cast<uint32_t>(n);
}

void BM_DecodeOurs(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    static lz::Decoder d;
    Bytes window(kDict), out(kOutChunk);
    for (auto _ : state) {
        Memory m{&c.stream, 0};
        lz::Init(d, window.data(), kDict, ReadMemory, &m);
        size_t total = 0;
        lz::Status s = lz::Status::Ok;
        while (s == lz::Status::Ok) {
            uint32_t got = 0;
            s = lz::Read(d, out.data(), kOutChunk, &got);
            total += got;
        }
        if (s != lz::Status::End || total != c.data.size())
            state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.data.size()));
}

void BM_DecodeLiblzma(benchmark::State& state) {
    const Corpus& c = TheCorpus();
    Bytes out(kOutChunk);
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    opt.dict_size = kDict;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    for (auto _ : state) {
        lzma_stream strm = LZMA_STREAM_INIT;
        if (lzma_raw_decoder(&strm, filters) != LZMA_OK)
            state.SkipWithError("no decoder");
        strm.next_in = c.stream.data();
        strm.avail_in = c.stream.size();
        size_t total = 0;
        lzma_ret r = LZMA_OK;
        while (r == LZMA_OK) {
            strm.next_out = out.data();
            strm.avail_out = out.size();
            r = lzma_code(&strm, LZMA_RUN);
            total += out.size() - strm.avail_out;
        }
        if (r != LZMA_STREAM_END || total != c.data.size())
            state.SkipWithError("decoding failed");
        lzma_end(&strm);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.data.size()));
}

BENCHMARK(BM_DecodeOurs)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_DecodeLiblzma)->Unit(benchmark::kMillisecond)->MinTime(3);

} // namespace

BENCHMARK_MAIN();

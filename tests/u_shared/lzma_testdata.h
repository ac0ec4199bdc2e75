// Test data for the decoder's tests and benchmark: generated random, repetitive and text bytes,
// real i386 program files from this machine, and liblzma's raw LZMA2 encoding of them.
#pragma once

#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace lztest {

using Bytes = std::vector<uint8_t>;

inline Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

// Long runs, short periods and repeated blocks: exercises overlapping and long matches.
inline Bytes RepetitiveBytes(size_t n) {
    Bytes b;
    std::mt19937 rng(3);
    while (b.size() < n) {
        const auto kind = rng() % 3;
        const size_t len = 1 + rng() % 3000;
        if (kind == 0) {
            b.insert(b.end(), len, static_cast<uint8_t>(rng()));
        } else if (kind == 1) {
            const size_t period = 1 + rng() % 7;
            for (size_t i = 0; i < len; ++i)
                b.push_back(static_cast<uint8_t>('a' + (i % period)));
        } else if (b.size() > len) {
            const size_t from = rng() % (b.size() - len);
            for (size_t i = 0; i < len; ++i)
                b.push_back(b[from + i]);
        }
    }
    b.resize(n);
    return b;
}

inline Bytes TextBytes(size_t n) {
    static const char* const kWords[] = {
        "the",    "of",      "and",   "packrig",  "file",    "window", "program", "folder",
        "to",     "a",       "is",    "in",       "runtime", "module", "that",    "every",
        "entry",  "name",    "bytes", "with",     "for",     "data",   "build",   "tree",
        "config", "install", "path",  "returns",  "value",   "error",  "(void)",  "{",
        "}",      "return",  "int",   "#include", "//",      "\n",     "\n\n",    ";"};
    std::mt19937 rng(11);
    Bytes b;
    while (b.size() < n) {
        const char* w = kWords[rng() % std::size(kWords)];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
        b.push_back(' ');
    }
    b.resize(n);
    return b;
}

// i386 program files that wine ships, concatenated in name order (the test program itself
// where they are missing).
inline Bytes ProgramBytes(size_t n) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    const fs::path dir = "/usr/lib/i386-linux-gnu/wine/i386-windows";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    if (files.empty())
        files.push_back("/proc/self/exe");
    Bytes b;
    while (b.size() < n) {
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            b.insert(b.end(), std::istreambuf_iterator<char>(in), {});
            if (b.size() >= n)
                break;
        }
    }
    b.resize(n);
    return b;
}

// Pieces of every kind above, interleaved, so that the model switches often.
inline Bytes MixedBytes(size_t n) {
    const Bytes parts[] = {RandomBytes(n / 4, 9), RepetitiveBytes(n / 4), TextBytes(n / 4),
                           ProgramBytes(n / 4)};
    Bytes b;
    const size_t slice = 20000;
    for (size_t off = 0; off < n / 4; off += slice)
        for (const Bytes& p : parts)
            b.insert(b.end(), p.begin() + static_cast<ptrdiff_t>(off),
                     p.begin() + static_cast<ptrdiff_t>(std::min(off + slice, p.size())));
    return b;
}

// liblzma's raw encoding with `filters` ending in LZMA2 with these settings.
inline Bytes EncodeRaw(const Bytes& data, std::vector<lzma_filter> filters, uint32_t preset,
                       uint32_t lc, uint32_t lp, uint32_t pb, uint32_t dict) {
    lzma_options_lzma opt;
    if (lzma_lzma_preset(&opt, preset))
        throw std::runtime_error("bad preset");
    opt.lc = lc;
    opt.lp = lp;
    opt.pb = pb;
    opt.dict_size = dict;
    filters.push_back({LZMA_FILTER_LZMA2, &opt});
    filters.push_back({LZMA_VLI_UNKNOWN, nullptr});
    Bytes out(data.size() + data.size() / 16 + 4096);
    size_t outPos = 0;
    if (lzma_raw_buffer_encode(filters.data(), nullptr, data.data(), data.size(), out.data(),
                               &outPos, out.size()) != LZMA_OK)
        throw std::runtime_error("lzma_raw_buffer_encode failed");
    out.resize(outPos);
    return out;
}

inline Bytes EncodeLzma2(const Bytes& data, uint32_t preset, uint32_t lc, uint32_t lp, uint32_t pb,
                         uint32_t dict) {
    return EncodeRaw(data, {}, preset, lc, lp, pb, dict);
}

} // namespace lztest

// The fuzzers' stand-in for the runtime module's own file: the input bytes, read as the real file
// reads (a read at the end comes back short, never fails), and a seek before the start aborts.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace sfxfuzz {

struct FuzzFile {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    int64_t pos = 0;

    bool Seek(int64_t p) {
        if (p < 0)
            std::abort();
        pos = p;
        return true;
    }
    bool Read(void* buf, uint32_t n, uint32_t* got) {
        int64_t left = pos < size ? size - pos : 0;
        uint32_t take = left < n ? static_cast<uint32_t>(left) : n;
        std::memcpy(buf, data + pos, take);
        pos += take;
        *got = take;
        return true;
    }
    int64_t Size() { return size; }
    uint32_t LastError() { return 0; }
};

} // namespace sfxfuzz

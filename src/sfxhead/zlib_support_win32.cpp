// What zlib's deflate calls beyond itself, for the decoding module, which links no C runtime:
// the two checksums of its wrappers (so that zlib's own tables stay out of the module) and the
// default allocator, which the module never uses: every stream it starts has the rebuilder's arena.
#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

#include "crc32.h"

extern "C" {

uLong crc32(uLong crc, const Bytef* data, uInt n) {
    return data == nullptr ? 0 : payload::Crc32(static_cast<uint32_t>(crc), data, n);
}

// Adler-32 as zlib defines it: two sums modulo 65521, the second over the first; 1 to start.
uLong adler32(uLong adler, const Bytef* data, uInt n) {
    constexpr uint32_t kBase = 65521;
    constexpr uInt kRun = 5552; // the most bytes before the sums could overflow 32 bits
    if (data == nullptr)
        return 1;
    uint32_t a = adler & 0xFFFF;
    uint32_t b = (adler >> 16) & 0xFFFF;
    while (n > 0) {
        uInt run = n < kRun ? n : kRun;
        n -= run;
        while (run-- != 0) {
            a += *data++;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return (b << 16) | a;
}

void* malloc(size_t) {
    return nullptr;
}

void free(void*) {}

} // extern "C"

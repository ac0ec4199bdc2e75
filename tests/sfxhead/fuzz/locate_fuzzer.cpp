// Fuzz target of the section-table walk that finds where the runtime module's image ends: on
// any file it ends without reading outside the file, and it agrees with a plain reading of the
// same bytes (PE offset from the low 16 bits of e_lfanew, greatest raw-data end over the
// sections with raw data).
#include <cstdlib>
#include <cstring>

#include "archive.h"
#include "fuzz_file.h"

namespace {

bool Has(size_t size, int64_t at, int64_t n) {
    return at >= 0 && at + n <= static_cast<int64_t>(size);
}

// -1 when the file is cut short before the walk ends, otherwise the image end (0: no image).
int64_t ExpectedEnd(const uint8_t* d, size_t size) {
    if (!Has(size, 0, 2))
        return -1;
    int64_t pe = 2;
    if (d[0] == 'M' && d[1] == 'Z') {
        if (!Has(size, 0x3C, 2))
            return -1;
        pe = d[0x3C] | d[0x3D] << 8;
    }
    if (!Has(size, pe, 24))
        return -1;
    if (std::memcmp(d + pe, "PE\0\0", 4) != 0)
        return 0;
    int64_t sections = d[pe + 6] | d[pe + 7] << 8;
    int64_t table = pe + 24 + (d[pe + 20] | d[pe + 21] << 8);
    int64_t end = 0;
    for (int64_t i = 0; i < sections; ++i) {
        int64_t at = table + 40 * i + 16;
        if (!Has(size, at, 8))
            return -1;
        int64_t rawSize = sfx::LoadI32(d + at);
        int64_t rawPos = sfx::LoadI32(d + at + 4);
        if (rawSize > 0 && rawPos + rawSize > end)
            end = rawPos + rawSize;
    }
    return end;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sfxfuzz::FuzzFile host{data, static_cast<int64_t>(size)};
    int64_t end = -2;
    sfx::Outcome r = sfx::LocatePayload(host, end);
    int64_t expected = ExpectedEnd(data, size);
    if (r.code != 0 ? (expected != -1 || r.code != sfx::kBadFormat) : end != expected)
        std::abort();
    if (end < 0 || end > int64_t{0xFFFFFFFF})
        std::abort();
    return 0;
}

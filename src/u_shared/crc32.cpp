// CRC-32 over a table of the 256 byte remainders, built at compile time.
#include "crc32.h"

namespace payload {
namespace {

struct Crc32Table {
    uint32_t entry[256];
};

constexpr Crc32Table MakeTable() {
    Crc32Table table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
        table.entry[i] = r;
    }
    return table;
}

constexpr Crc32Table kTable = MakeTable();

} // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t count) {
    const auto* p = static_cast<const uint8_t*>(data);
    crc = ~crc;
    for (size_t i = 0; i < count; ++i)
        crc = kTable.entry[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace payload

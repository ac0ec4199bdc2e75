// The first bytes of a PE image with a section table, for tests of where its code lies: the
// DOS header, the PE signature and file header, no optional header, then the section headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace petest {

struct Section {
    uint32_t rawStart;
    uint32_t rawSize;
    uint32_t characteristics;
};

inline constexpr uint32_t kCode = 0x60000020;    // code, may run, may be read
inline constexpr uint32_t kData = 0xC0000040;    // initialised data, read and write
inline constexpr uint32_t kDebug = 0x42000040;   // initialised data, may be discarded
inline constexpr uint32_t kRunOnly = 0x20000000; // may run, not marked as code

inline void PutLe(std::string& s, size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// `size` bytes (at least enough for the table) of headers for the given sections.
inline std::string Headers(const std::vector<Section>& sections, uint32_t size = 0x200,
                           uint16_t machine = 0x014C) {
    std::string h(size, '\0');
    h[0] = 'M';
    h[1] = 'Z';
    PutLe(h, 0x3C, 0x40, 4);
    h.replace(0x40, 4, std::string("PE\0\0", 4));
    PutLe(h, 0x44, machine, 2);
    PutLe(h, 0x46, static_cast<uint32_t>(sections.size()), 2);
    for (size_t i = 0; i < sections.size(); ++i) {
        const size_t at = 0x58 + 40 * i;
        PutLe(h, at + 16, sections[i].rawSize, 4);
        PutLe(h, at + 20, sections[i].rawStart, 4);
        PutLe(h, at + 36, sections[i].characteristics, 4);
    }
    return h;
}

} // namespace petest

// Integers read from file bytes held in a string_view, in either byte order; the caller checks
// that the bytes are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace fpackrig {

inline uint16_t Le16(std::string_view s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) |
                                 (static_cast<uint8_t>(s[at + 1]) << 8));
}

inline uint32_t Le32(std::string_view s, size_t at) {
    return static_cast<uint32_t>(Le16(s, at)) | (static_cast<uint32_t>(Le16(s, at + 2)) << 16);
}

inline uint32_t Be32(std::string_view s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<uint8_t>(s[at + i]);
    return v;
}

} // namespace fpackrig

// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320), as zlib and xz compute it: guards the
// compressed stream of a compressed SFX file and its header.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace payload {

// Continues `crc` (0 to start) over `count` bytes at `data`; Crc32(0, "123456789", 9) is
// 0xCBF43926.
uint32_t Crc32(uint32_t crc, const void* data, size_t count);

} // namespace payload

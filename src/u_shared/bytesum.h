// The additive checksum of the payload: a wrapping 32-bit sum of unsigned bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace payload {

// Sum of `count` bytes at `data`, each 0..255, modulo 2^32. A count of 0 gives 0. Entry
// checksums add the sums of the name and of every data chunk to a running total.
uint32_t ByteSum(const void* data, size_t count);

} // namespace payload

// ByteSum with SSE2: PSADBW adds sixteen bytes into two 64-bit lanes per instruction, so the
// sum keeps up with memory bandwidth. Built freestanding for the runtime module as well.
#include "bytesum.h"

#include <emmintrin.h>

namespace payload {

namespace {

uint32_t SumTail(const uint8_t* p, size_t count) {
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += p[i];
    return sum;
}

// Four independent accumulators hide the latency of PSADBW; each lane holds at most
// 255 * 8 per step, so 64-bit lanes cannot overflow for any realistic count.
uint32_t SumBlocks(const uint8_t* p, size_t blocks) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    size_t i = 0;
    for (; i + 4 <= blocks; i += 4, p += 64) {
        a0 = _mm_add_epi64(a0, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)p), zero));
        a1 = _mm_add_epi64(a1, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)(p + 16)), zero));
        a2 = _mm_add_epi64(a2, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)(p + 32)), zero));
        a3 = _mm_add_epi64(a3, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)(p + 48)), zero));
    }
    for (; i < blocks; ++i, p += 16)
        a0 = _mm_add_epi64(a0, _mm_sad_epu8(_mm_loadu_si128((const __m128i*)p), zero));
    __m128i total = _mm_add_epi64(_mm_add_epi64(a0, a1), _mm_add_epi64(a2, a3));
    total = _mm_add_epi64(total, _mm_unpackhi_epi64(total, total));
    return (uint32_t)_mm_cvtsi128_si32(total);
}

} // namespace

uint32_t ByteSum(const void* data, size_t count) {
    const uint8_t* p = (const uint8_t*)data;
    size_t blocks = count / 16;
    return SumBlocks(p, blocks) + SumTail(p + blocks * 16, count % 16);
}

} // namespace payload

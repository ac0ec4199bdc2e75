// The x86 branch converter: turns the relative targets of CALL and JMP instructions (E8/E9)
// into absolute ones before compression, so that repeated calls to one function become
// repeated bytes, and back after decompression. Its output is that of liblzma's x86 filter.
#pragma once

#include <stdint.h>

namespace payload {

struct X86State {
    uint32_t pos = 0;      // stream position of the next unconverted byte
    uint32_t prevMask = 0; // recent E8/E9 bytes, carried between calls
};

// Converts buf[0..len) in place (encode for the builder, decode for the runtime). Returns how
// many leading bytes are final; the rest (at most 4) must be passed again at the front of the
// next call. At the end of the data, bytes that were never returned as final stay as they are.
uint32_t X86Convert(X86State& state, uint8_t* buf, uint32_t len, bool encode);

// The bytes of a file that the converter works on: [begin, end), empty when begin == end.
struct X86Span {
    uint32_t begin = 0;
    uint32_t end = 0;
};

// How many of a file's first bytes FindX86Code reads.
inline constexpr uint32_t kCodeProbeSize = 4096;

// The code of a PE image: from the first byte of its first section that holds code or may run,
// to the last byte of its last such section, cut at the file's `fileSize`, and starting no
// earlier than the end of the section table, so that conversion never changes it. Reads the section
// table where the DOS header points, within the first kCodeProbeSize bytes of `head` (the
// first `headSize` bytes of the file); empty when the table does not lie whole within them or
// names no such section. Whether the file is an image of x86 code is the caller's to know.
// Converting only the code leaves data, resources and debug records as they are, where the
// converter would only disturb their bytes.
X86Span FindX86Code(const uint8_t* head, uint32_t headSize, uint32_t fileSize);

// Converts the part of buf[0..len) inside `span`, where buf[0] is the file's byte `offset`: the
// converter starts at position 0 at the span's first byte. Returns how many leading bytes are
// final, as X86Convert does; once the span ends inside the buffer, all of them are.
uint32_t X86ConvertSpan(X86State& state, X86Span span, uint32_t offset, uint8_t* buf, uint32_t len,
                        bool encode);

} // namespace payload

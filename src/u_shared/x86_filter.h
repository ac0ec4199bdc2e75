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

} // namespace payload

// Decoding ahead on a second Win32 thread, for the decoding module; see decode_ahead.h.
#pragma once

#include "lzma2_decoder.h"
#include "packed.h"

namespace sfx {

// Hands `decoder` (which nothing else may use from now on) to a second thread that decodes the
// rest of the stream ahead, and points the unpack loop's reader at its output. False, with the
// reader unchanged, when the system gives no thread: the run then decodes as it writes.
bool StartDecodingAhead(lz::Decoder& decoder, DataReadFn& readData, void*& readContext);

} // namespace sfx

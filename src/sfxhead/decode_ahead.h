// Decoding ahead: one thread decodes the compressed stream into a ring of slots while another
// takes the bytes out and writes the files, so that unpacking takes about as long as the slower
// of the two instead of their sum. The platform provides the thread and two counting signals:
//   void WaitFree();   void PostFree();     slots the decoder may fill (kSlots at the start)
//   void WaitFilled(); void PostFilled();   slots the reader may empty (none at the start)
#pragma once

#include <stdint.h>

#include "lzma2_decoder.h"

namespace sfx {

struct AheadRing {
    // 16 MiB in all (uninitialised data, so no bytes of the module): a stream grouped by
    // extension runs in long stretches of many small files, where writing is slower than
    // decoding, and of large ones, where it is the other way round; a ring this deep lets the
    // decoder run ahead through the first and the writer catch up in the second.
    static constexpr uint32_t kSlots = 64;
    static constexpr uint32_t kSlotSize = 256u << 10;

    uint8_t data[kSlots][kSlotSize];
    uint32_t got[kSlots];
    lz::Status status[kSlots];
    lz::Decoder* decoder = nullptr;
    // The reader's side, touched by the reading thread only.
    uint32_t readSlot = 0;
    uint32_t readPos = 0;
    bool slotTaken = false;
    bool ended = false;
    lz::Status endStatus = lz::Status::Ok;
};

// The decoding thread: fills slot after slot until the decoder says anything but Ok, which the
// last slot carries to the reader.
template <class Signals> void DecodeIntoRing(AheadRing& ring, Signals& signals) {
    for (uint32_t i = 0;; i = (i + 1) % AheadRing::kSlots) {
        signals.WaitFree();
        ring.status[i] = lz::Read(*ring.decoder, ring.data[i], AheadRing::kSlotSize, &ring.got[i]);
        bool last = ring.status[i] != lz::Status::Ok;
        signals.PostFilled();
        if (last)
            return;
    }
}

// The reader: lz::Read's meaning over the ring. Ok when all `want` bytes came; otherwise the
// status with which the decoder stopped.
template <class Signals>
lz::Status ReadFromRing(AheadRing& ring, Signals& signals, uint8_t* out, uint32_t want,
                        uint32_t* got) {
    uint32_t done = 0;
    while (done < want && !ring.ended) {
        if (!ring.slotTaken) {
            signals.WaitFilled();
            ring.slotTaken = true;
        }
        uint32_t slot = ring.readSlot;
        uint32_t take = ring.got[slot] - ring.readPos;
        if (take > want - done)
            take = want - done;
        __builtin_memcpy(out + done, ring.data[slot] + ring.readPos, take);
        done += take;
        ring.readPos += take;
        if (ring.readPos < ring.got[slot])
            continue;
        if (ring.status[slot] != lz::Status::Ok) {
            ring.ended = true;
            ring.endStatus = ring.status[slot];
            break;
        }
        ring.readPos = 0;
        ring.slotTaken = false;
        ring.readSlot = (slot + 1) % AheadRing::kSlots;
        signals.PostFree();
    }
    *got = done;
    return done == want ? lz::Status::Ok : ring.endStatus;
}

} // namespace sfx

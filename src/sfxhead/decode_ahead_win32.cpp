// The decoding thread and its two semaphores; see decode_ahead_win32.h. The ring lives in
// uninitialised data, so it costs no file size; the semaphores live until the process ends.
#include "decode_ahead_win32.h"

#include <windows.h>

#include "decode_ahead.h"

namespace sfx {

namespace {

struct SemaphoreSignals {
    HANDLE freeSlots = nullptr;
    HANDLE filledSlots = nullptr;

    void WaitFree() { WaitForSingleObject(freeSlots, INFINITE); }
    void PostFree() { ReleaseSemaphore(freeSlots, 1, nullptr); }
    void WaitFilled() { WaitForSingleObject(filledSlots, INFINITE); }
    void PostFilled() { ReleaseSemaphore(filledSlots, 1, nullptr); }
};

AheadRing g_ring;
SemaphoreSignals g_signals;

__attribute__((force_align_arg_pointer)) DWORD WINAPI DecodeLoop(void*) {
    DecodeIntoRing(g_ring, g_signals);
    return 0;
}

lz::Status ReadAhead(void*, uint8_t* out, uint32_t want, uint32_t* got) {
    return ReadFromRing(g_ring, g_signals, out, want, got);
}

} // namespace

bool StartDecodingAhead(lz::Decoder& decoder, DataReadFn& readData, void*& readContext) {
    g_ring.decoder = &decoder;
    g_signals.freeSlots = CreateSemaphoreA(nullptr, AheadRing::kSlots, AheadRing::kSlots, nullptr);
    g_signals.filledSlots = CreateSemaphoreA(nullptr, 0, AheadRing::kSlots, nullptr);
    if (g_signals.freeSlots == nullptr || g_signals.filledSlots == nullptr)
        return false;
    HANDLE thread = CreateThread(nullptr, 0, DecodeLoop, nullptr, 0, nullptr);
    if (thread == nullptr)
        return false;
    CloseHandle(thread);
    readData = ReadAhead;
    readContext = nullptr;
    return true;
}

} // namespace sfx

// Fuzz target of the LZMA2 decoder and the x86 converter. The first three bytes of an input
// choose the window size and the piece sizes of input and output; the rest is the stream.
// Every input is decoded twice, once in one go and once in those pieces: both runs must give
// the same bytes and the same status, no call may produce more than asked, and the decoder
// may never claim more input than there is. The decoded bytes then go through the x86
// converter, which must give them back after encoding and decoding across splits.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lzma2_decoder.h"
#include "lzma2_decoder_state.h"
#include "x86_filter.h"

namespace {

constexpr uint32_t kWindows[8] = {0, 1, 2, 100, 4096, 65536, 200000, 1u << 18};
constexpr size_t kOutputCap = 1u << 18; // bounds the time of highly repetitive inputs

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint32_t piece;
};

uint32_t ReadInput(void* ctx, uint8_t* buf, uint32_t cap) {
    auto* in = static_cast<Input*>(ctx);
    size_t n = in->size - in->pos;
    if (n > cap)
        n = cap;
    if (n > in->piece)
        n = in->piece;
    std::memcpy(buf, in->data + in->pos, n);
    in->pos += n;
    return static_cast<uint32_t>(n);
}

struct Run {
    lz::Status status;
    std::vector<uint8_t> out;
};

lz::Decoder g_decoder;

Run Decode(const uint8_t* data, size_t size, uint32_t windowSize, uint32_t inPiece,
           uint32_t outPiece) {
    std::vector<uint8_t> window(windowSize);
    Input in{data, size, 0, inPiece};
    lz::Init(g_decoder, window.data(), windowSize, ReadInput, &in);
    Run r{lz::Status::Ok, {}};
    std::vector<uint8_t> piece(outPiece + 16);
    while (r.status == lz::Status::Ok && r.out.size() < kOutputCap) {
        const uint32_t want = static_cast<uint32_t>(
            outPiece < kOutputCap - r.out.size() ? outPiece : kOutputCap - r.out.size());
        uint32_t got = 0;
        std::memset(piece.data() + want, 0xA5, 16);
        r.status = lz::Read(g_decoder, piece.data(), want, &got);
        if (got > want)
            Fail("more output than asked");
        for (size_t i = want; i < want + 16; ++i)
            if (piece[i] != 0xA5)
                Fail("write past the bytes asked for");
        if (r.status == lz::Status::Ok && got != want)
            Fail("Ok with fewer bytes than asked");
        r.out.insert(r.out.end(), piece.begin(), piece.begin() + got);
    }
    if (lz::Consumed(g_decoder) > size || lz::Consumed(g_decoder) != in.pos)
        Fail("consumed more than the input or than was read");
    return r;
}

void CheckX86RoundTrip(const std::vector<uint8_t>& original, uint32_t split) {
    std::vector<uint8_t> buf(
        original.begin(), original.begin() + (original.size() < 65536 ? original.size() : 65536));
    const std::vector<uint8_t> plain = buf;
    payload::X86State enc;
    const uint32_t n = static_cast<uint32_t>(buf.size());
    const uint32_t done = payload::X86Convert(enc, buf.data(), n, true);
    if (done > n || (n >= 5 && done + 4 < n))
        Fail("x86 encode left too many bytes");
    payload::X86State dec;
    for (uint32_t from = 0; from < n;) {
        const uint32_t to = n - from > split ? from + split : n;
        from += payload::X86Convert(dec, buf.data() + from, to - from, false);
        if (to == n)
            break;
    }
    if (buf != plain)
        Fail("x86 decode did not undo encode");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const uint32_t window = kWindows[data[0] & 7];
    const uint32_t inPiece = 1 + data[1];
    const uint32_t outPiece = 1 + data[2] * 7u;
    const Run whole = Decode(data + 3, size - 3, window, 1u << 20, kOutputCap);
    const Run pieces = Decode(data + 3, size - 3, window, inPiece, outPiece);
    if (whole.status != pieces.status)
        Fail("status depends on the piece sizes");
    if (whole.out != pieces.out)
        Fail("output depends on the piece sizes");
    CheckX86RoundTrip(whole.out, 5 + data[1]); // pieces of five bytes or more always advance
    return 0;
}

// Writing a file back from its stored pieces: a small state machine over the stored bytes, with
// zlib's deflate for the deflate pieces and its memory from the rebuilder's own arena.
#include "deflate_rebuild.h"

#include "crc32.h"

namespace payload {

namespace {

constexpr uint8_t kChunkType[4] = {'I', 'D', 'A', 'T'};

// zlib's allocator: a bump pointer over the arena, 16-byte aligned; freeing is a no-op, since
// each piece starts the arena afresh.
void* ArenaAlloc(void* opaque, unsigned items, unsigned size) {
    auto* arena = static_cast<DeflateArena*>(opaque);
    uint64_t bytes = (uint64_t{items} * size + 15) & ~uint64_t{15};
    if (bytes > kDeflateArenaSize - arena->used)
        return nullptr;
    void* block = arena->bytes + arena->used;
    arena->used += static_cast<uint32_t>(bytes);
    return block;
}

void ArenaFree(void*, void*) {}

void CopyBytes(void* dst, const void* src, uint32_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    for (uint32_t i = 0; i < n; ++i)
        d[i] = s[i];
}

void PutBigEndian(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

bool WriteFile(Rebuilder& r, const uint8_t* data, uint32_t n) {
    if (n > r.fileLeft)
        return false;
    r.fileLeft -= n;
    return r.emit(r.context, data, n);
}

uint32_t HeaderSize(uint8_t kind) {
    return kind == kPieceBytes ? sizeof(TBytesPiece) : sizeof(TDeflatePiece);
}

// The bytes that a deflate piece writes: the stream, and the framing of its chunks.
uint64_t WrittenSize(const TDeflatePiece& p) {
    if (p.ChunkSize == 0)
        return p.DeflatedSize;
    // 32-bit division: the module links no 64-bit division routine.
    uint32_t chunks = p.DeflatedSize / p.ChunkSize + (p.DeflatedSize % p.ChunkSize != 0 ? 1 : 0);
    return p.DeflatedSize + uint64_t{chunks} * kChunkFraming;
}

bool SettingsFit(const TDeflatePiece& p) {
    int bits = p.WindowBits < 0 ? -p.WindowBits : p.WindowBits;
    return p.Level >= 1 && p.Level <= Z_BEST_COMPRESSION && p.MemLevel >= 1 &&
           p.MemLevel <= MAX_MEM_LEVEL && bits >= 9 && bits <= MAX_WBITS && p.Strategy <= Z_FIXED;
}

// Takes up the completed header of a deflate piece: checks it and starts zlib's deflate.
bool StartDeflatePiece(Rebuilder& r) {
    const TDeflatePiece& p = r.piece;
    if (!SettingsFit(p) || p.DeflatedSize == 0 || p.InflatedSize > r.storedLeft ||
        WrittenSize(p) > r.fileLeft)
        return false;
    r.arena.used = 0;
    r.zlib = z_stream{};
    r.zlib.zalloc = ArenaAlloc;
    r.zlib.zfree = ArenaFree;
    r.zlib.opaque = &r.arena;
    if (deflateInit2(&r.zlib, p.Level, Z_DEFLATED, p.WindowBits, p.MemLevel, p.Strategy) != Z_OK)
        return false;
    r.pieceLeft = p.InflatedSize;
    r.framed = 0;
    r.chunkLeft = 0;
    return true;
}

// Writes deflated bytes, in IDAT chunks where the piece has them.
bool WriteDeflated(Rebuilder& r, const uint8_t* data, uint32_t n) {
    const TDeflatePiece& p = r.piece;
    if (n > p.DeflatedSize - r.framed)
        return false;
    if (p.ChunkSize == 0) {
        r.framed += n;
        return WriteFile(r, data, n);
    }
    while (n > 0) {
        uint8_t frame[8];
        if (r.chunkLeft == 0) {
            uint32_t rest = p.DeflatedSize - r.framed;
            r.chunkLeft = rest < p.ChunkSize ? rest : p.ChunkSize;
            PutBigEndian(frame, r.chunkLeft);
            CopyBytes(frame + 4, kChunkType, 4);
            r.chunkCrc = Crc32(0, kChunkType, 4);
            if (!WriteFile(r, frame, 8))
                return false;
        }
        uint32_t take = n < r.chunkLeft ? n : r.chunkLeft;
        r.chunkCrc = Crc32(r.chunkCrc, data, take);
        if (!WriteFile(r, data, take))
            return false;
        r.framed += take;
        r.chunkLeft -= take;
        data += take;
        n -= take;
        if (r.chunkLeft == 0) {
            PutBigEndian(frame, r.chunkCrc);
            if (!WriteFile(r, frame, 4))
                return false;
        }
    }
    return true;
}

// Passes inflated bytes through deflate; with `finish`, to the stream's end.
bool RunDeflate(Rebuilder& r, const uint8_t* data, uint32_t n, bool finish) {
    r.zlib.next_in = const_cast<Bytef*>(data);
    r.zlib.avail_in = n;
    for (;;) {
        r.zlib.next_out = r.out;
        r.zlib.avail_out = sizeof r.out;
        int ret = deflate(&r.zlib, finish ? Z_FINISH : Z_NO_FLUSH);
        if (ret == Z_STREAM_ERROR)
            return false;
        uint32_t got = sizeof r.out - r.zlib.avail_out;
        if (got > 0 && !WriteDeflated(r, r.out, got))
            return false;
        if (finish ? ret == Z_STREAM_END : r.zlib.avail_in == 0 && r.zlib.avail_out != 0)
            return true;
    }
}

// Ends a deflate piece: the stream complete and exactly as long as its header says.
bool FinishDeflatePiece(Rebuilder& r) {
    bool ok = RunDeflate(r, nullptr, 0, true) && r.framed == r.piece.DeflatedSize;
    deflateEnd(&r.zlib);
    r.streams += 1;
    r.inflatedBytes += r.piece.InflatedSize;
    r.deflatedBytes += WrittenSize(r.piece);
    return ok;
}

// Collects a piece's header from the stored bytes and counts what it took; false when the
// header is unsound.
bool TakeHeader(Rebuilder& r, const uint8_t* data, uint32_t n, uint32_t& taken) {
    uint8_t kind = r.headerFill == 0 ? data[0] : r.header[0];
    if (kind != kPieceBytes && kind != kPieceDeflate)
        return false;
    uint32_t need = HeaderSize(kind);
    taken = need - r.headerFill < n ? need - r.headerFill : n;
    CopyBytes(r.header + r.headerFill, data, taken);
    r.headerFill += taken;
    r.storedLeft -= taken;
    if (r.headerFill < need)
        return true;
    r.headerFill = 0;
    r.inPiece = true;
    r.piece = TDeflatePiece{};
    CopyBytes(&r.piece, r.header, need);
    if (kind == kPieceDeflate)
        return StartDeflatePiece(r);
    TBytesPiece bytes;
    CopyBytes(&bytes, r.header, sizeof bytes);
    r.pieceLeft = bytes.Length;
    return bytes.Length <= r.fileLeft && bytes.Length <= r.storedLeft;
}

// Takes bytes of the current piece: writes them, or deflates them.
bool TakePieceBytes(Rebuilder& r, const uint8_t* data, uint32_t n, uint32_t& taken) {
    taken = n < r.pieceLeft ? n : r.pieceLeft;
    r.pieceLeft -= taken;
    r.storedLeft -= taken;
    return r.piece.Kind == kPieceBytes ? WriteFile(r, data, taken)
                                       : RunDeflate(r, data, taken, false);
}

} // namespace

void StartRebuild(Rebuilder& r, uint32_t fileSize, uint32_t storedSize, EmitFn emit,
                  void* context) {
    r.emit = emit;
    r.context = context;
    r.fileLeft = fileSize;
    r.storedLeft = storedSize;
    r.headerFill = 0;
    r.inPiece = false;
    r.streams = 0;
    r.inflatedBytes = 0;
    r.deflatedBytes = 0;
}

bool PutStored(Rebuilder& r, const uint8_t* data, uint32_t n) {
    if (n > r.storedLeft)
        return false;
    while (n > 0) {
        uint32_t taken = 0;
        bool ok = r.inPiece ? TakePieceBytes(r, data, n, taken) : TakeHeader(r, data, n, taken);
        if (!ok)
            return false;
        data += taken;
        n -= taken;
        if (r.inPiece && r.pieceLeft == 0) {
            r.inPiece = false;
            if (r.piece.Kind == kPieceDeflate && !FinishDeflatePiece(r))
                return false;
        }
    }
    return true;
}

Rebuilder& SharedRebuilder() {
    static Rebuilder rebuilder;
    return rebuilder;
}

bool RebuildComplete(const Rebuilder& r) {
    return r.storedLeft == 0 && r.fileLeft == 0 && !r.inPiece && r.headerFill == 0;
}

} // namespace payload

// Reading a compressed payload (packed_payload.h) from the module's own file: checking its header
// and the whole stream, decoding and checking the index, and unpacking every entry from the one
// solid stream, writing files stored as pieces (deflate_rebuild.h) back as they were. Everything
// that can be checked is checked before the first file or folder is made. Written against the
// Host type of archive.h, which for this also provides:
//   void* AllocWindow(uint32_t n);   n bytes for the rest of the run; null when out of memory
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "archive.h"
#include "crc32.h"
#include "deflate_rebuild.h"
#include "lzma2_decoder.h"
#include "lzma2_decoder_state.h"
#include "packed_payload.h"
#include "x86_filter.h"

namespace sfx {

// The smallest index record: header, a one-byte name, tail.
inline constexpr uint64_t kMinRecordSize =
    sizeof(payload::TEntryHeader) + 1 + sizeof(payload::TPackedEntryTail);

// The compressed stream as the decoder's input: the stream's bytes of the own file and no more,
// with the system's code of a failed read kept for the report.
template <class Host> struct StreamInput {
    Host* host = nullptr;
    uint64_t left = 0;
    uint32_t failCode = 0;
};

template <class Host> uint32_t PullStream(void* ctx, uint8_t* buf, uint32_t cap) {
    auto& in = *static_cast<StreamInput<Host>*>(ctx);
    uint32_t want = in.left < cap ? static_cast<uint32_t>(in.left) : cap;
    uint32_t got = 0;
    if (want == 0)
        return 0;
    if (!in.host->Read(buf, want, &got)) {
        in.failCode = SystemCode(*in.host, kBadFormat);
        return 0;
    }
    in.left -= got;
    return got;
}

// Where the unpack loop takes decoded bytes from, with lz::Read's meaning: null for the decoder
// itself, or a reader that the platform puts in between (a thread that decodes ahead).
using DataReadFn = lz::Status (*)(void* ctx, uint8_t* out, uint32_t want, uint32_t* got);

// State of one compressed run beside RunState. `decoder` is the caller's: it is large.
template <class Host> struct PackedRun {
    payload::TPackedHeader header{};
    int64_t streamPos = 0; // offset of the stream in the own file
    uint8_t* index = nullptr;
    uint8_t* window = nullptr;
    uint32_t windowSize = 0;
    lz::Decoder* decoder = nullptr;
    StreamInput<Host> input;
    DataReadFn readData = nullptr;
    void* readContext = nullptr;
    // Set up by ReadPackedIndex when some entry is stored as pieces, unless the caller gave one.
    payload::Rebuilder* rebuilder = nullptr;
    // Told of every entry written back from pieces, once it is complete; may stay null.
    void (*entryRebuilt)(void* ctx, const payload::Rebuilder& done) = nullptr;
    void* rebuiltContext = nullptr;
};

template <class Host>
lz::Status ReadDecoded(PackedRun<Host>& packed, uint8_t* out, uint32_t want, uint32_t* got) {
    return packed.readData != nullptr ? packed.readData(packed.readContext, out, want, got)
                                      : lz::Read(*packed.decoder, out, want, got);
}

inline bool HeaderFieldsFit(const payload::TPackedHeader& h) {
    for (int i = 0; i < 4; ++i)
        if (h.Magic[i] != payload::kPackedMagic[i])
            return false;
    return h.DictSize != 0 && h.DictSize <= payload::kMaxDictionarySize && h.EntryCount != 0 &&
           h.IndexSize <= payload::kMaxIndexSize && h.IndexSize >= h.EntryCount * kMinRecordSize &&
           h.DataSize != 0 && h.DataSize <= uint64_t{h.EntryCount} * 0x7FFFFFFF &&
           h.PackedSize != 0;
}

// Reads and checks the header behind the identifier and the CRC-32 of the whole stream, which
// must lie inside the file (bytes after it are ignored). TotalSize becomes the data size.
// `buffer` holds payload::kChunkSize bytes.
template <class Host>
Outcome CheckPackedPayload(Host& host, RunState& run, PackedRun<Host>& packed, uint8_t* buffer) {
    payload::TPackedHeader& h = packed.header;
    int64_t headerPos = run.imageEnd + int64_t{sizeof(payload::ArchiveId)};
    Outcome r = SeekTo(host, headerPos);
    if (r.code == 0)
        r = ReadExactly(host, &h, sizeof h);
    if (r.code != 0)
        return r;
    if (payload::Crc32(0, &h, offsetof(payload::TPackedHeader, HeaderCrc)) != h.HeaderCrc ||
        !HeaderFieldsFit(h))
        return Fail(kBadFormat);
    packed.streamPos = headerPos + int64_t{sizeof h};
    if (h.PackedSize > static_cast<uint64_t>(host.Size() - packed.streamPos))
        return Fail(kBadFormat);
    uint32_t crc = 0;
    for (uint64_t left = h.PackedSize; left > 0;) {
        uint32_t chunk =
            left < payload::kChunkSize ? static_cast<uint32_t>(left) : payload::kChunkSize;
        r = ReadExactly(host, buffer, chunk);
        if (r.code != 0)
            return r;
        crc = payload::Crc32(crc, buffer, chunk);
        left -= chunk;
        host.Pump();
    }
    if (crc != h.PackedCrc)
        return Fail(kBadFormat);
    run.totalSize = static_cast<int64_t>(h.DataSize);
    return kOk;
}

// Decodes exactly `n` bytes; a stream that breaks off, breaks the rules or ends early is
// malformed, a failed read reports the system's code.
template <class Host> Outcome DecodeExactly(PackedRun<Host>& packed, uint8_t* out, uint32_t n) {
    uint32_t got = 0;
    lz::Status s = ReadDecoded(packed, out, n, &got);
    if (got == n && (s == lz::Status::Ok || s == lz::Status::End))
        return kOk;
    return Fail(packed.input.failCode != 0 ? packed.input.failCode : kBadFormat);
}

// The record at `pos` of the decoded index: its header, name and tail.
struct IndexRecord {
    payload::TEntryHeader header;
    const char* name;
    payload::TPackedEntryTail tail;
    uint32_t storedSize; // bytes of the entry in the data region
    uint64_t size;       // bytes of the record
};

inline void CopyBytes(void* dst, const void* src, size_t n) {
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    for (size_t i = 0; i < n; ++i)
        d[i] = s[i];
}

// False when the record does not fit in the index or breaks the rules of a plain entry (a name
// that leaves the working folder, or with control characters), or has an unknown filter.
inline bool ReadIndexRecord(const uint8_t* index, uint64_t indexSize, uint64_t pos,
                            IndexRecord& rec) {
    if (indexSize - pos < sizeof rec.header)
        return false;
    CopyBytes(&rec.header, index + pos, sizeof rec.header);
    if (IsImpossibleHeader(rec.header) || rec.header.NameLength == 0)
        return false;
    uint64_t nameLength = static_cast<uint64_t>(rec.header.NameLength);
    rec.size = sizeof rec.header + nameLength + sizeof rec.tail;
    if (indexSize - pos < rec.size)
        return false;
    rec.name = reinterpret_cast<const char*>(index + pos + sizeof rec.header);
    CopyBytes(&rec.tail, index + pos + sizeof rec.header + nameLength, sizeof rec.tail);
    rec.storedSize = static_cast<uint32_t>(rec.header.Size);
    if (rec.tail.Filter == payload::kFilterDeflate) {
        payload::TRebuiltTail rebuilt;
        if (indexSize - pos - rec.size < sizeof rebuilt)
            return false;
        CopyBytes(&rebuilt, index + pos + rec.size, sizeof rebuilt);
        rec.size += sizeof rebuilt;
        rec.storedSize = rebuilt.StoredSize;
        if (rebuilt.StoredSize > 0x7FFFFFFF)
            return false;
    }
    for (uint64_t i = 0; i < nameLength; ++i)
        if (static_cast<uint8_t>(rec.name[i]) < 0x20)
            return false;
    return IsSafeEntryName(rec.name, static_cast<size_t>(nameLength)) &&
           rec.tail.Filter <= payload::kFilterDeflate;
}

// Every record sound, the records filling the index exactly, their stored sizes adding up to
// the data size, and exactly one entry marked to start. `rebuilt` tells whether some entry is
// stored as pieces.
inline bool IsSoundIndex(const uint8_t* index, const payload::TPackedHeader& h, bool& rebuilt) {
    uint64_t pos = 0;
    uint64_t data = 0;
    uint32_t marked = 0;
    rebuilt = false;
    for (uint32_t i = 0; i < h.EntryCount; ++i) {
        IndexRecord rec;
        if (!ReadIndexRecord(index, h.IndexSize, pos, rec))
            return false;
        pos += rec.size;
        data += rec.storedSize;
        marked += rec.header.IsExeFile != 0 ? 1 : 0;
        rebuilt = rebuilt || rec.tail.Filter == payload::kFilterDeflate;
    }
    return pos == h.IndexSize && data == h.DataSize && marked == 1;
}

// The bytes of the files that a checked index holds: the data size, unless some are stored as
// pieces.
inline uint64_t IndexFileBytes(const uint8_t* index, const payload::TPackedHeader& h) {
    uint64_t total = 0;
    uint64_t pos = 0;
    IndexRecord rec;
    for (uint32_t i = 0; i < h.EntryCount && ReadIndexRecord(index, h.IndexSize, pos, rec); ++i) {
        total += static_cast<uint64_t>(rec.header.Size);
        pos += rec.size;
    }
    return total;
}

// Allocates the window and the index in one block (code 8 when the system has no room), starts
// the decoder at the stream and decodes and checks the index; sets up the rebuilder when some
// entry is stored as pieces.
template <class Host> Outcome ReadPackedIndex(Host& host, PackedRun<Host>& packed) {
    const payload::TPackedHeader& h = packed.header;
    uint64_t unpacked = h.IndexSize + h.DataSize;
    packed.windowSize = unpacked < h.DictSize ? static_cast<uint32_t>(unpacked) : h.DictSize;
    auto indexSize = static_cast<uint32_t>(h.IndexSize);
    auto* block = static_cast<uint8_t*>(host.AllocWindow(packed.windowSize + indexSize));
    if (block == nullptr)
        return Fail(kOutOfMemory);
    packed.index = block;
    packed.window = block + indexSize;
    Outcome r = SeekTo(host, packed.streamPos);
    if (r.code != 0)
        return r;
    packed.input = StreamInput<Host>{&host, h.PackedSize, 0};
    lz::Init(*packed.decoder, packed.window, packed.windowSize, PullStream<Host>, &packed.input);
    r = DecodeExactly(packed, packed.index, indexSize);
    bool rebuilt = false;
    if (r.code == 0 && !IsSoundIndex(packed.index, h, rebuilt))
        r = Fail(kBadFormat);
    if (rebuilt && packed.rebuilder == nullptr)
        packed.rebuilder = &payload::SharedRebuilder();
    return r;
}

// Moves the up to four bytes that the converter held back to the front of the buffer.
inline void KeepHeldBytes(uint8_t* buffer, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i)
        buffer[i - from] = buffer[i];
}

// Decodes one entry's data into the open output file in chunks through `buffer`, converting it
// back where the entry was x86-converted, adding every written chunk to `sum` and the progress.
template <class Host>
Outcome CopyPackedData(Host& host, RunState& run, PackedRun<Host>& packed, const IndexRecord& rec,
                       uint8_t* buffer, uint32_t& sum) {
    payload::X86State x86;
    payload::X86Span span;
    uint32_t held = 0;
    uint32_t written = 0;
    const auto size = static_cast<uint32_t>(rec.header.Size);
    for (uint32_t left = size; left > 0;) {
        uint32_t take = payload::kChunkSize - held;
        if (take > left)
            take = left;
        Outcome r = DecodeExactly(packed, buffer + held, take);
        if (r.code != 0)
            return r;
        if (left == size)
            span = payload::ConvertedSpan(rec.tail.Filter, buffer, size);
        left -= take;
        uint32_t n = held + take;
        uint32_t ready = payload::X86ConvertSpan(x86, span, written, buffer, n, false);
        if (!host.WriteOutput(buffer, ready))
            return Fail(SystemCode(host, kDiskFull), Subject::EntryPath);
        sum += payload::ByteSum(buffer, ready);
        run.doneSize += ready;
        written += ready;
        held = n - ready;
        KeepHeldBytes(buffer, ready, n);
        host.Progress();
        host.Pump();
    }
    return kOk;
}

// What the rebuilder's output meets on its way to the file: the host, the entry's sum and the
// system's code of a failed write.
template <class Host> struct RebuildOutput {
    Host* host;
    uint32_t* sum;
    bool writeFailed;
};

template <class Host> bool WriteRebuilt(void* ctx, const uint8_t* data, uint32_t n) {
    auto& out = *static_cast<RebuildOutput<Host>*>(ctx);
    if (!out.host->WriteOutput(data, n)) {
        out.writeFailed = true;
        return false;
    }
    *out.sum += payload::ByteSum(data, n);
    return true;
}

// Decodes the stored pieces of an entry in chunks through `buffer` and writes the file back from
// them; progress counts the stored bytes. Pieces that break their rules are a malformed payload.
template <class Host>
Outcome CopyRebuiltData(Host& host, RunState& run, PackedRun<Host>& packed, const IndexRecord& rec,
                        uint8_t* buffer, uint32_t& sum) {
    payload::Rebuilder& rebuilder = *packed.rebuilder;
    RebuildOutput<Host> out{&host, &sum, false};
    payload::StartRebuild(rebuilder, static_cast<uint32_t>(rec.header.Size), rec.storedSize,
                          WriteRebuilt<Host>, &out);
    for (uint32_t left = rec.storedSize; left > 0;) {
        uint32_t take = left < payload::kChunkSize ? left : payload::kChunkSize;
        Outcome r = DecodeExactly(packed, buffer, take);
        if (r.code != 0)
            return r;
        if (!payload::PutStored(rebuilder, buffer, take))
            return out.writeFailed ? Fail(SystemCode(host, kDiskFull), Subject::EntryPath)
                                   : Fail(kBadFormat);
        left -= take;
        run.doneSize += take;
        host.Progress();
        host.Pump();
    }
    if (!payload::RebuildComplete(rebuilder))
        return Fail(kBadFormat);
    if (packed.entryRebuilt != nullptr)
        packed.entryRebuilt(packed.rebuiltContext, rebuilder);
    return kOk;
}

// The stream ends right after the data, with its last byte.
template <class Host> bool StreamEndsHere(PackedRun<Host>& packed) {
    uint8_t extra;
    uint32_t got = 0;
    return ReadDecoded(packed, &extra, 1, &got) == lz::Status::End && got == 0 &&
           lz::Consumed(*packed.decoder) == packed.header.PackedSize;
}

// Unpacks the entries of the checked index into WorkDir, in index order, as the plain loop does:
// path recorded for the clean-up, folders and file created, data decoded and verified, last-write
// time set through the open file, attributes set after closing.
template <class Host>
Outcome UnpackPackedEntries(Host& host, RunState& run, PackedRun<Host>& packed, uint8_t* buffer) {
    uint64_t pos = 0;
    for (uint32_t i = 0; i < packed.header.EntryCount; ++i) {
        IndexRecord rec;
        if (!ReadIndexRecord(packed.index, packed.header.IndexSize, pos, rec))
            return Fail(kBadFormat); // the index was checked: only a changed one gets here
        pos += rec.size;
        auto nameLength = static_cast<size_t>(rec.header.NameLength);
        CopyText(run.fileName, kPathCap, run.workDir);
        AppendBytes(run.fileName, kPathCap, rec.name, nameLength);
        uint32_t sum = payload::ByteSum(rec.name, nameLength);
        bool marked = rec.header.IsExeFile != 0;
        Outcome r = BeginEntry(host, run, marked);
        if (r.code == 0)
            r = rec.tail.Filter == payload::kFilterDeflate
                    ? CopyRebuiltData(host, run, packed, rec, buffer, sum)
                    : CopyPackedData(host, run, packed, rec, buffer, sum);
        if (r.code == 0 && sum != rec.tail.Checksum)
            r = Fail(kBadFormat);
        if (r.code == 0)
            r = EndEntry(host, run, rec.header.Time, rec.header.Attr, marked);
        if (r.code != 0)
            return r; // the file stays as written; ending the process closes it
    }
    return StreamEndsHere(packed) ? kOk : Fail(kBadFormat);
}

} // namespace sfx

// The compressed payload's stream, builder side: the index records, the choice of the x86
// converter per entry, and the raw LZMA2 encoder (liblzma) that every byte of the stream passes
// through.
#pragma once

#include "filesys.h"
#include "packed_payload.h"
#include "x86_filter.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace fpackrig {

// The encoder's settings: liblzma's preset 9 (with pb 0) and the dictionary of the stream at
// hand. `dictSize` is the window a decoder needs, which the header records; the encoder runs
// with `encoderDictSize`, which may be larger: liblzma sizes its match finder's hash table by
// the dictionary, and one sized for the stream alone spends up to a fifth longer on collisions.
// No match reaches further back than the stream's start, so the stream needs no larger window.
struct EncoderSettings {
    uint32_t dictSize = payload::kMaxDictionarySize;
    uint32_t encoderDictSize = payload::kMaxDictionarySize;
};

// Settings for a stream of `streamSize` bytes: a dictionary that holds the whole stream, in
// whole 4 KiB (liblzma's least), at most payload::kMaxDictionarySize; the encoder's four times
// that, within the same limit.
EncoderSettings SettingsFor(uint64_t streamSize);

// How many of a file's first bytes decide whether it is a PE image and where its code lies.
inline constexpr size_t kImageProbeSize = payload::kCodeProbeSize;

// True when `head`, the first bytes of a file, starts a PE image of x86 or x86-64 code: the
// files whose CALL and JMP targets the x86 converter makes repeat.
bool IsX86Image(std::string_view head);

// How an entry's data goes into the stream: its filter, and the bytes that the x86 converter
// works on.
struct EntryConversion {
    uint8_t filter = payload::kFilterNone;
    payload::X86Span span;
};

// The conversion for a file of `size` bytes that starts with `head`: an x86 image whose section
// table names its code has only the code converted; one whose table lies beyond the probe, all
// of its bytes; any other file none.
EntryConversion ChooseConversion(std::string_view head, uint32_t size);

// The key that places an entry in the stream: the extension of its file name, then the file
// name, both with ASCII letters in lower case. Sorted by it, files alike sit together in the
// window (every "copyright", every ".dll"); entries with the same key keep the walk's order.
// It reads only the stored name, so both builders order a tree alike.
std::string StreamGroupKey(std::string_view storedName);

// Appends one index record: the entry header, the name, the tail.
void AppendIndexRecord(std::string& index, const payload::TEntryHeader& header,
                       std::string_view name, const payload::TPackedEntryTail& tail);

// liblzma's raw LZMA2 encoder over a stream that arrives in pieces; every compressed byte goes
// to `output` as soon as the encoder gives it.
class StreamEncoder {
  public:
    using Output = std::function<fsys::IoResult(const uint8_t* data, size_t count)>;

    explicit StreamEncoder(Output output);
    ~StreamEncoder();
    StreamEncoder(const StreamEncoder&) = delete;
    StreamEncoder& operator=(const StreamEncoder&) = delete;

    fsys::IoResult Start(const EncoderSettings& settings);
    fsys::IoResult Put(const void* data, size_t count);
    // Ends the stream (LZMA2's end byte) and hands on the rest of it.
    fsys::IoResult Finish();

  private:
    struct State;
    fsys::IoResult Run(bool finish);

    Output output_;
    std::unique_ptr<State> state_;
};

// Feeds one entry's data to the encoder, the bytes in `span` passed through the x86 converter
// (from position 0 at the span's first byte). Data arrives in pieces of any size; the
// converter's held-back bytes travel to the next piece, and at the entry's end go out as they
// are.
class EntryFeeder {
  public:
    EntryFeeder(StreamEncoder& encoder, payload::X86Span span);
    fsys::IoResult Put(const uint8_t* data, size_t count);
    fsys::IoResult End();

  private:
    StreamEncoder& encoder_;
    payload::X86Span span_;
    uint32_t offset_ = 0; // the entry's bytes handed to the encoder so far
    payload::X86State state_{};
    std::string work_; // the held-back bytes, then the piece being converted
};

} // namespace fpackrig

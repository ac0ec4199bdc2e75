// Deflate streams inside a file: found by their containers' signatures, inflated with zlib, and
// tried against a few zlib settings through the runtime module's rebuilder.
#include "deflate_streams.h"

#include "byte_fields.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace fpackrig {

namespace {

constexpr std::string_view kPngSignature("\x89PNG\r\n\x1A\n", 8);
constexpr std::string_view kZipLocalHeader("PK\x03\x04", 4);
constexpr std::string_view kGzipMagic("\x1F\x8B\x08", 3);
constexpr size_t kZipHeaderSize = 30;
constexpr size_t kGzipHeaderSize = 10;
// A stream inflated further than this stays as it is: the pieces are held in memory.
constexpr uint64_t kLargestInflated = 256u << 20;
// Streams shorter than this gain less than their piece's header costs.
constexpr size_t kLeastDeflated = 32;
// The stored bytes that a try hands the rebuilder at a time: deflate returns, and its output is
// compared, at least this often.
constexpr size_t kTrialStep = 16u << 10;
// Tries for one stream, the settings that matched lately included.
constexpr size_t kMostTries = 12;
constexpr size_t kRecentKept = 4;

// Which settings to try first, from what the container tells of the stream.
enum class Hint { None, Fast, Best };

// Inflates `deflated` (raw deflate for negative `windowBits`, zlib's wrapper otherwise) up to
// its end; the bytes it took go to `used`. Nothing when it is no sound stream, or too large.
std::optional<std::string> Inflate(std::string_view deflated, int windowBits, size_t& used) {
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK)
        return std::nullopt;
    std::string out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
    z.avail_in = static_cast<uInt>(std::min<size_t>(deflated.size(), UINT32_MAX));
    int ret = Z_OK;
    while (ret == Z_OK && out.size() < kLargestInflated) {
        size_t had = out.size();
        out.resize(had + (had < (1u << 16) ? 1u << 16 : had));
        z.next_out = reinterpret_cast<Bytef*>(out.data() + had);
        z.avail_out = static_cast<uInt>(out.size() - had);
        ret = inflate(&z, Z_NO_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (ret == Z_BUF_ERROR && z.avail_out != 0)
            break; // the input ended inside the stream
    }
    used = z.total_in;
    inflateEnd(&z);
    if (ret != Z_STREAM_END || out.size() > kLargestInflated)
        return std::nullopt;
    return out;
}

} // namespace

// One stream as found: the bytes of the file that its piece writes, its inflated bytes, and how
// it is wrapped.
struct DeflateFinder::Stream {
    size_t begin = 0; // in the file
    size_t end = 0;
    uint32_t deflatedSize = 0;
    uint32_t chunkSize = 0;
    int windowBits = -15;
    uint8_t levelClass = 0xFF; // zlib's header: 0 fastest to 3 best; 0xFF for raw streams
    Hint hint = Hint::None;
    std::string inflated;
};

namespace {

using Stream = DeflateFinder::Stream;

// A raw deflate stream starting at `at`, when one inflates from there.
std::optional<Stream> RawStreamAt(std::string_view file, size_t at, Hint hint) {
    size_t used = 0;
    std::optional<std::string> inflated = Inflate(file.substr(at), -MAX_WBITS, used);
    if (!inflated || used < kLeastDeflated)
        return std::nullopt;
    Stream s;
    s.begin = at;
    s.end = at + used;
    s.deflatedSize = static_cast<uint32_t>(used);
    s.hint = hint;
    s.inflated = std::move(*inflated);
    return s;
}

// The data of a zip entry deflated by a local header at `at`.
std::optional<Stream> ZipEntryAt(std::string_view file, size_t at) {
    if (file.size() - at < kZipHeaderSize)
        return std::nullopt;
    uint16_t flags = Le16(file, at + 6);
    uint16_t method = Le16(file, at + 8);
    size_t data = at + kZipHeaderSize + Le16(file, at + 26) + Le16(file, at + 28);
    if (method != Z_DEFLATED || (flags & 1) != 0 || data >= file.size())
        return std::nullopt;
    // Bits 1 and 2 of the flags tell the level class that made the entry, where the maker sets
    // them.
    uint16_t speed = (flags >> 1) & 3;
    Hint hint = speed == 1 ? Hint::Best : speed >= 2 ? Hint::Fast : Hint::None;
    return RawStreamAt(file, data, hint);
}

// The deflate stream of a gzip member whose header starts at `at`.
std::optional<Stream> GzipMemberAt(std::string_view file, size_t at) {
    constexpr uint8_t kHeaderCrc = 2, kExtra = 4, kName = 8, kComment = 16;
    if (file.size() - at < kGzipHeaderSize)
        return std::nullopt;
    auto flags = static_cast<uint8_t>(file[at + 3]);
    auto extraFlags = static_cast<uint8_t>(file[at + 8]);
    if ((flags & 0xE0) != 0)
        return std::nullopt;
    size_t p = at + kGzipHeaderSize;
    if ((flags & kExtra) != 0) {
        if (file.size() - p < 2)
            return std::nullopt;
        p += 2 + Le16(file, p);
    }
    for (uint8_t field : {kName, kComment})
        if ((flags & field) != 0) {
            size_t zero = p < file.size() ? file.find('\0', p) : std::string_view::npos;
            if (zero == std::string_view::npos)
                return std::nullopt;
            p = zero + 1;
        }
    if ((flags & kHeaderCrc) != 0)
        p += 2;
    if (p >= file.size())
        return std::nullopt;
    Hint hint = extraFlags == 2 ? Hint::Best : extraFlags == 4 ? Hint::Fast : Hint::None;
    return RawStreamAt(file, p, hint);
}

// The zlib stream of a PNG image: its IDAT chunks, one after the other, all of one size but the
// last, which is not larger, hold it exactly.
std::optional<Stream> PngStream(std::string_view file) {
    size_t p = kPngSignature.size();
    size_t first = 0;
    std::string deflated;
    uint32_t chunkSize = 0;
    bool lastSeen = false;
    while (file.size() - p >= payload::kChunkFraming) {
        uint32_t length = Be32(file, p);
        std::string_view type = file.substr(p + 4, 4);
        if (length > file.size() - p - payload::kChunkFraming)
            return std::nullopt;
        bool idat = type == "IDAT";
        if (idat && (lastSeen || (chunkSize != 0 && length > chunkSize) || length == 0))
            return std::nullopt;
        if (idat) {
            if (chunkSize == 0) {
                first = p;
                chunkSize = length;
            } else if (length < chunkSize) {
                lastSeen = true;
            }
            deflated.append(file.substr(p + 8, length));
        } else if (chunkSize != 0) {
            break;
        }
        p += payload::kChunkFraming + length;
    }
    if (deflated.size() < kLeastDeflated)
        return std::nullopt;
    size_t used = 0;
    auto cmf = static_cast<uint8_t>(deflated[0]);
    auto flg = static_cast<uint8_t>(deflated[1]);
    int windowBits = (cmf >> 4) + 8;
    std::optional<std::string> inflated = Inflate(deflated, MAX_WBITS, used);
    if (!inflated || used != deflated.size() || windowBits < 9)
        return std::nullopt;
    Stream s;
    s.begin = first;
    s.end = p;
    s.deflatedSize = static_cast<uint32_t>(deflated.size());
    s.chunkSize = chunkSize;
    s.windowBits = windowBits;
    s.levelClass = static_cast<uint8_t>(flg >> 6);
    s.inflated = std::move(*inflated);
    return s;
}

// Hands every stream of the file to `take`, in file order, none overlapping, one at a time:
// only one stream's inflated bytes are held at once.
template <class Take> void FindStreams(std::string_view file, Take take) {
    if (file.substr(0, kPngSignature.size()) == kPngSignature) {
        if (std::optional<Stream> s = PngStream(file))
            take(*s);
        return;
    }
    for (size_t at = 0; at + 4 <= file.size();) {
        std::string_view here = file.substr(at, 4);
        std::optional<Stream> s;
        if (here == kZipLocalHeader)
            s = ZipEntryAt(file, at);
        else if (here.substr(0, 3) == kGzipMagic)
            s = GzipMemberAt(file, at);
        if (!s) {
            ++at;
            continue;
        }
        at = s->end;
        take(*s);
    }
}

// The levels to try, in order, for what is known of the stream.
std::vector<uint8_t> LevelOrder(const Stream& s) {
    switch (s.levelClass) {
    case 0:
        return {1};
    case 1:
        return {5, 4, 3, 2};
    case 2:
        return {6};
    case 3:
        return {9, 7, 8};
    default:
        break;
    }
    if (s.hint == Hint::Best)
        return {9, 8, 7, 6};
    if (s.hint == Hint::Fast)
        return {1, 2};
    return {6, 9, 5, 1, 4, 7, 8, 3, 2};
}

// The settings to try after the recent ones: levels first, then memory levels, then the filtered
// strategy, which PNG writers choose for filtered rows.
std::vector<DeflateSettings> Candidates(const Stream& s) {
    std::vector<DeflateSettings> out;
    const std::vector<uint8_t> levels = LevelOrder(s);
    const std::vector<uint8_t> strategies =
        s.chunkSize != 0 ? std::vector<uint8_t>{Z_FILTERED, Z_DEFAULT_STRATEGY}
                         : std::vector<uint8_t>{Z_DEFAULT_STRATEGY};
    for (uint8_t strategy : strategies)
        for (uint8_t memLevel : {uint8_t{8}, uint8_t{9}})
            for (uint8_t level : levels)
                out.push_back({level, memLevel, static_cast<int8_t>(s.windowBits), strategy});
    return out;
}

// Compares the rebuilt bytes with the file's as they come, so that a wrong try stops at its
// first block.
struct Comparison {
    std::string_view expected;
    size_t at = 0;
};

bool CompareRebuilt(void* ctx, const uint8_t* data, uint32_t n) {
    auto& c = *static_cast<Comparison*>(ctx);
    if (c.expected.size() - c.at < n || std::memcmp(c.expected.data() + c.at, data, n) != 0)
        return false;
    c.at += n;
    return true;
}

} // namespace

DeflateFinder::DeflateFinder() : rebuilder_(std::make_unique<payload::Rebuilder>()) {}

DeflateFinder::~DeflateFinder() = default;

void DeflateFinder::AppendDeflatePiece(std::string& out, const DeflateSettings& settings,
                                       std::string_view inflated, uint32_t deflatedSize,
                                       uint32_t chunkSize) {
    payload::TDeflatePiece piece{};
    piece.Kind = payload::kPieceDeflate;
    piece.Level = settings.level;
    piece.MemLevel = settings.memLevel;
    piece.WindowBits = settings.windowBits;
    piece.Strategy = settings.strategy;
    piece.InflatedSize = static_cast<uint32_t>(inflated.size());
    piece.DeflatedSize = deflatedSize;
    piece.ChunkSize = chunkSize;
    out.append(reinterpret_cast<const char*>(&piece), sizeof piece);
    out.append(inflated);
}

// Runs the piece of `stream` at `settings` through the rebuilder, which stops at the first byte
// that differs from the file's.
bool DeflateFinder::Reproduces(const Stream& stream, std::string_view file,
                               const DeflateSettings& settings) {
    trial_.clear();
    AppendDeflatePiece(trial_, settings, stream.inflated, stream.deflatedSize, stream.chunkSize);
    Comparison comparison{file.substr(stream.begin, stream.end - stream.begin)};
    payload::StartRebuild(*rebuilder_, static_cast<uint32_t>(comparison.expected.size()),
                          static_cast<uint32_t>(trial_.size()), CompareRebuilt, &comparison);
    const auto* bytes = reinterpret_cast<const uint8_t*>(trial_.data());
    for (size_t done = 0; done < trial_.size();) {
        auto chunk = static_cast<uint32_t>(std::min(trial_.size() - done, kTrialStep));
        if (!payload::PutStored(*rebuilder_, bytes + done, chunk))
            return false;
        done += chunk;
    }
    return payload::RebuildComplete(*rebuilder_);
}

std::optional<DeflateSettings> DeflateFinder::FindSettings(const Stream& stream,
                                                           std::string_view file) {
    std::vector<DeflateSettings> tries;
    for (DeflateSettings recent : recent_) {
        recent.windowBits = static_cast<int8_t>(stream.windowBits);
        tries.push_back(recent);
    }
    for (const DeflateSettings& candidate : Candidates(stream))
        if (std::find(tries.begin(), tries.end(), candidate) == tries.end())
            tries.push_back(candidate);
    if (tries.size() > kMostTries)
        tries.resize(kMostTries);
    for (const DeflateSettings& settings : tries)
        if (Reproduces(stream, file, settings)) {
            std::erase(recent_, settings);
            recent_.insert(recent_.begin(), settings);
            if (recent_.size() > kRecentKept)
                recent_.pop_back();
            return settings;
        }
    return std::nullopt;
}

std::optional<PiecedFile> DeflateFinder::Pieces(std::string_view file, uint64_t largestStored) {
    PiecedFile out;
    size_t written = 0; // of the file, by the pieces so far
    auto appendBytes = [&](size_t end) {
        if (end == written)
            return;
        payload::TBytesPiece piece{payload::kPieceBytes, static_cast<uint32_t>(end - written)};
        out.stored.append(reinterpret_cast<const char*>(&piece), sizeof piece);
        out.stored.append(file.substr(written, end - written));
        written = end;
    };
    FindStreams(file, [&](const Stream& stream) {
        if (out.stored.size() + stream.inflated.size() > largestStored)
            return;
        std::optional<DeflateSettings> settings = FindSettings(stream, file);
        if (!settings)
            return;
        appendBytes(stream.begin);
        AppendDeflatePiece(out.stored, *settings, stream.inflated, stream.deflatedSize,
                           stream.chunkSize);
        written = stream.end;
        out.streams += 1;
        out.deflatedBytes += stream.end - stream.begin;
        out.inflatedBytes += stream.inflated.size();
    });
    if (out.streams == 0)
        return std::nullopt;
    appendBytes(file.size());
    if (out.stored.size() > largestStored)
        return std::nullopt;
    return out;
}

} // namespace fpackrig

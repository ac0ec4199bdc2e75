// Files with deflate streams as pieces and back: which streams the finder stores inflated, that
// the rebuilder writes every file back byte for byte however its stored bytes arrive, and that
// it refuses pieces that break their rules.
#include <gtest/gtest.h>

#include "deflate_streams.h"

#include <zlib.h>

#include <cstring>
#include <functional>
#include <random>

using fpackrig::DeflateFinder;
using fpackrig::PiecedFile;

namespace {

constexpr uint64_t kNoLimit = uint64_t{1} << 40;

// Text of `words` words from a small vocabulary: compresses as text does.
std::string Text(size_t words, uint32_t seed) {
    std::mt19937 gen(seed);
    static const char* const kWords[] = {"alpha",  "beta", "gamma",  "delta", "class",
                                         "public", "void", "return", "int",   "value",
                                         "\n",     "{",    "}"};
    std::string s;
    for (size_t i = 0; i < words; ++i)
        s.append(kWords[gen() % std::size(kWords)]).append(1, ' ');
    return s;
}

// zlib's deflate of `data` at the given settings; with `syncAt`, a sync flush after that many
// bytes, which no single deflate call writes.
std::string Deflate(const std::string& data, int level, int windowBits, int memLevel = 8,
                    int strategy = Z_DEFAULT_STRATEGY, size_t syncAt = 0) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy), Z_OK);
    std::string out(deflateBound(&z, data.size()) + 64, '\0');
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    auto run = [&](size_t from, size_t to, int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + from));
        z.avail_in = static_cast<uInt>(to - from);
        deflate(&z, flush);
    };
    if (syncAt != 0)
        run(0, syncAt, Z_SYNC_FLUSH);
    run(syncAt, data.size(), Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void PutLe(std::string& s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

void PutBe32(std::string& s, uint32_t v) {
    for (int i = 3; i >= 0; --i)
        s.push_back(static_cast<char>(v >> (8 * i)));
}

// A zip file of deflated entries (local headers and data only: the finder reads no more).
std::string Zip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string zip;
    for (const auto& [name, deflated] : entries) {
        zip.append("PK\x03\x04", 4);
        PutLe(zip, 20, 2);
        PutLe(zip, 0, 2);
        PutLe(zip, Z_DEFLATED, 2);
        PutLe(zip, 0, 8); // time, date, CRC
        PutLe(zip, static_cast<uint32_t>(deflated.size()), 4);
        PutLe(zip, 0, 4);
        PutLe(zip, static_cast<uint32_t>(name.size()), 2);
        PutLe(zip, 0, 2);
        zip += name + deflated;
    }
    return zip + "PK\x05\x06 central directory";
}

std::string GzipMember(const std::string& deflated) {
    return std::string("\x1F\x8B\x08\x08\0\0\0\0\x02\x03", 10) + "name.txt" + '\0' + deflated +
           "CRC.SIZE";
}

std::string PngChunk(const std::string& type, const std::string& data) {
    std::string c;
    PutBe32(c, static_cast<uint32_t>(data.size()));
    c += type + data;
    PutBe32(c, static_cast<uint32_t>(crc32(crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4),
                                           reinterpret_cast<const Bytef*>(data.data()),
                                           static_cast<uInt>(data.size()))));
    return c;
}

// A PNG file whose zlib stream lies in IDAT chunks of the sizes given, the last size repeated.
std::string Png(const std::string& zlibStream, std::vector<size_t> chunks) {
    std::string png = std::string("\x89PNG\r\n\x1A\n", 8) + PngChunk("IHDR", std::string(13, 'h'));
    for (size_t at = 0, i = 0; at < zlibStream.size(); at += chunks[i], i += i + 1 < chunks.size())
        png += PngChunk("IDAT", zlibStream.substr(at, chunks[i]));
    return png + PngChunk("IEND", "");
}

struct Collected {
    std::string bytes;
};

bool Collect(void* ctx, const uint8_t* data, uint32_t n) {
    static_cast<Collected*>(ctx)->bytes.append(reinterpret_cast<const char*>(data), n);
    return true;
}

// Runs the rebuilder over `stored` in pieces of `step` bytes; the file back, or nothing when the
// rebuilder refuses or ends incomplete.
std::optional<std::string> Rebuild(const std::string& stored, uint32_t fileSize, size_t step) {
    auto rebuilder = std::make_unique<payload::Rebuilder>();
    Collected out;
    payload::StartRebuild(*rebuilder, fileSize, static_cast<uint32_t>(stored.size()), Collect,
                          &out);
    for (size_t at = 0; at < stored.size(); at += step) {
        size_t n = std::min(step, stored.size() - at);
        if (!payload::PutStored(*rebuilder, reinterpret_cast<const uint8_t*>(stored.data() + at),
                                static_cast<uint32_t>(n)))
            return std::nullopt;
    }
    if (!payload::RebuildComplete(*rebuilder))
        return std::nullopt;
    return out.bytes;
}

struct FileCase {
    const char* name;
    std::function<std::string()> make;
    uint32_t streams; // stored inflated; 0: the file stays as it is
};

TEST(DeflateStreams, FilesComeBackFromTheirPiecesHoweverTheyArrive) {
    const std::string a = Text(40000, 1), b = Text(3000, 2), c = Text(200000, 3);
    const FileCase cases[] = {
        {"zip at zlib's default",
         [&] {
             return Zip({{"a", Deflate(a, 6, -15)}, {"b", Deflate(b, 6, -15)}});
         },
         2},
        {"jar at level 9, memLevel 9",
         [&] {
             return Zip({{"a", Deflate(a, 9, -15, 9)}});
         },
         1},
        {"zip at level 1, beside a stored entry",
         [&] {
             return Zip({{"a", Deflate(a, 1, -15)}}) + b;
         },
         1},
        {"two gzip members",
         [&] { return GzipMember(Deflate(c, 9, -15)) + GzipMember(Deflate(b, 9, -15)); }, 2},
        {"PNG over 8 KiB chunks, filtered",
         [&] { return Png(Deflate(c, 6, 15, 8, Z_FILTERED), {8192}); }, 1},
        {"PNG in one chunk, small window", [&] { return Png(Deflate(b, 9, 11), {1u << 20}); }, 1},
        {"zip with a sync flush",
         [&] {
             return Zip({{"a", Deflate(a, 6, -15, 8, Z_DEFAULT_STRATEGY, 5000)}});
         },
         0},
        {"PNG with chunks of two sizes",
         [&] {
             return Png(Deflate(c, 6, 15), {4096, 8192});
         },
         0},
        {"zip cut inside its stream",
         [&] {
             return Zip({{"a", Deflate(a, 6, -15)}}).substr(0, 5000);
         },
         0},
        {"text", [&] { return a; }, 0},
    };
    DeflateFinder finder;
    for (const FileCase& fc : cases) {
        SCOPED_TRACE(fc.name);
        const std::string file = fc.make();
        std::optional<PiecedFile> pieces = finder.Pieces(file, kNoLimit);
        ASSERT_EQ(pieces ? pieces->streams : 0, fc.streams);
        if (!pieces)
            continue;
        EXPECT_GT(pieces->inflatedBytes, pieces->deflatedBytes);
        for (size_t step : {size_t{1} << 20, size_t{4093}, size_t{1}}) {
            if (step == 1 && pieces->stored.size() > 300000)
                continue;
            EXPECT_EQ(Rebuild(pieces->stored, static_cast<uint32_t>(file.size()), step), file)
                << "in steps of " << step;
        }
    }
}

// Mutations of a sound stored form: every one must be refused, none may write past the file.
TEST(DeflateStreams, RebuilderRefusesPiecesThatBreakTheirRules) {
    const std::string text = Text(5000, 4);
    const std::string file = "head" + GzipMember(Deflate(text, 9, -15));
    DeflateFinder finder;
    std::optional<PiecedFile> pieces = finder.Pieces(file, kNoLimit);
    ASSERT_TRUE(pieces);
    const std::string& stored = pieces->stored;
    // The gzip header makes the first bytes piece: 5 bytes of piece header, 23 of file.
    const size_t deflatePiece = sizeof(payload::TBytesPiece) + 4 + 19;
    ASSERT_EQ(stored[deflatePiece], payload::kPieceDeflate);
    auto field = [&](size_t offset, uint32_t value, int bytes) {
        std::string s = stored;
        for (int i = 0; i < bytes; ++i)
            s[deflatePiece + offset + i] = static_cast<char>(value >> (8 * i));
        return s;
    };
    payload::TDeflatePiece piece;
    std::memcpy(&piece, stored.data() + deflatePiece, sizeof piece);
    const auto inflatedAt = offsetof(payload::TDeflatePiece, InflatedSize);
    const auto deflatedAt = offsetof(payload::TDeflatePiece, DeflatedSize);
    const struct {
        const char* name;
        std::string stored;
        uint32_t fileSize;
    } cases[] = {
        {"an unknown kind", field(0, 7, 1), uint32_t(file.size())},
        {"level 0", field(1, 0, 1), uint32_t(file.size())},
        {"memLevel 10", field(2, 10, 1), uint32_t(file.size())},
        {"window bits 8", field(3, 8, 1), uint32_t(file.size())},
        {"strategy 5", field(4, 5, 1), uint32_t(file.size())},
        {"a stream one byte shorter than it comes out",
         field(deflatedAt, piece.DeflatedSize - 1, 4), uint32_t(file.size())},
        {"inflated bytes beyond the stored ones", field(inflatedAt, 1u << 30, 4),
         uint32_t(file.size())},
        {"a bytes piece longer than the file", stored, 20},
        {"a stored byte too many", stored + '\0', uint32_t(file.size())},
        {"a file byte too many", stored, uint32_t(file.size() + 1)},
        {"cut short", stored.substr(0, stored.size() - 1), uint32_t(file.size())},
    };
    ASSERT_EQ(Rebuild(stored, uint32_t(file.size()), 1u << 20), file);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> back = Rebuild(c.stored, c.fileSize, 1u << 20);
        EXPECT_TRUE(!back || *back != file) << "accepted";
        EXPECT_FALSE(back && back->size() > c.fileSize);
    }
}

} // namespace

// The compressed payload on in-memory files: checking the header and the stream, the index, and
// unpacking, as the decoding module runs them. Every refusal must come before anything is made.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "memory_host.h"
#include "packed.h"
#include "pe_testdata.h"

using sfx::Outcome;
using sfx::RunState;
using sfxtest::MemoryHost;
using sfxtest::PackedBuilder;

namespace {

constexpr uint32_t kBadFormat = 193;
constexpr uint32_t kMiB = 1u << 20;

// The steps of the decoding module's run that read the payload, in its order.
struct PackedWalk {
    MemoryHost host;
    std::unique_ptr<RunState> state = std::make_unique<RunState>();
    std::unique_ptr<uint8_t[]> buffer = std::make_unique<uint8_t[]>(payload::kChunkSize);
    std::unique_ptr<lz::Decoder> decoder = std::make_unique<lz::Decoder>();
    sfx::PackedRun<MemoryHost> packed;

    explicit PackedWalk(std::string archive) {
        host.archive = std::move(archive);
        packed.decoder = decoder.get();
    }

    Outcome Check() {
        Outcome r = sfxtest::ReadUpToIdentifier(host, *state);
        if (r.code == 0)
            r = sfx::CheckPackedPayload(host, *state, packed, buffer.get());
        if (r.code == 0)
            r = sfx::ReadPackedIndex(host, packed);
        if (r.code == 0)
            sfx::SetWorkDir(*state, "C:\\TEMP");
        return r;
    }
    Outcome UnpackChecked() { return sfx::UnpackPackedEntries(host, *state, packed, buffer.get()); }
    Outcome Unpack() {
        Outcome r = Check();
        return r.code != 0 ? r : UnpackChecked();
    }
    bool MadeNothing() const {
        return host.events.empty() && host.files.empty() && host.unpacked.empty();
    }
};

// Bytes that look like machine code: many E8 and E9 opcodes with targets, placed so that some
// straddle the copy buffer's chunk boundary.
std::string CodeLike(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(gen() % 7 == 0 ? 0xE8 : gen() & 0xFF);
    for (size_t at : {size_t{kMiB - 2}, size_t{kMiB - 4}, size_t{2 * kMiB - 1}})
        if (at + 5 <= size) {
            s[at] = static_cast<char>(0xE8);
            s[at + 4] = 0;
        }
    return s;
}

// A PE image of `size` code-like bytes whose section table names [begin, end) as its code.
std::string ImageWithCode(size_t size, uint32_t begin, uint32_t end, uint32_t seed) {
    std::string image = CodeLike(size, seed);
    const std::string headers = petest::Headers(
        {{0x200, begin - 0x200, petest::kData}, {begin, end - begin, petest::kCode}});
    image.replace(0, headers.size(), headers);
    return image;
}

// An image whose one code section starts at its first byte, with a raw size whose bytes,
// E8 93 04 00, followed by the raw start's 00, look like a call: converted, the table would
// name another span. Data follows the section.
std::string ImageWithCodeFromTheStart() {
    constexpr uint32_t kSectionSize = 0x493E8;
    const std::string headers = petest::Headers({{0, kSectionSize, petest::kCode}});
    return headers + CodeLike(kSectionSize + 0x20000 - headers.size(), 5);
}

std::string SmallTree() {
    return PackedBuilder()
        .Entry("setup.exe", "MZ program", 1, payload::kFilterX86, 0x50B16DAF, 0x20)
        .Entry("docs\\readme.txt", "read me, read me, read me", 0, payload::kFilterNone, 0x4F2A1234,
               0x21)
        .Entry("docs\\empty", "", 0, payload::kFilterNone, 0x4F2A1236, 0x02)
        .Build();
}

struct SoundCase {
    const char* what;
    uint32_t dictSize;
    std::vector<std::pair<std::string, std::string>> files; // first one marked
    uint8_t filter;
};

TEST(PackedUnpack, SoundPayloadsUnpackExactly) {
    const SoundCase cases[] = {
        {"small files and an empty one",
         1u << 16,
         {{"a.exe", "MZ"}, {"sub\\b.txt", std::string(3000, 'b')}, {"sub\\c", ""}},
         payload::kFilterNone},
        {"converted code over chunk boundaries, window smaller than the data",
         1u << 16,
         {{"app.exe", CodeLike(2 * kMiB + 7, 1)}, {"lib\\x.dll", CodeLike(kMiB + 1, 2)}},
         payload::kFilterX86},
        {"converted entries of fewer than five bytes",
         1u << 16,
         {{"t.exe", "\xE8\x01"}, {"u.dll", "\xE8"}, {"v.dll", "\xE9\x00\x00\x00\x01"}},
         payload::kFilterX86},
        {"only the code converted: a span that starts past the first chunk and one that ends "
         "inside it",
         1u << 16,
         {{"app.exe", ImageWithCode(2 * kMiB + 300, kMiB + 3, kMiB + 200000, 3)},
          {"lib\\small.dll", ImageWithCode(300000, 0x400, 0x2000, 4)},
          {"lib\\headers.dll", ImageWithCodeFromTheStart()}},
         payload::kFilterX86Code},
        {"window of the whole unpacked size",
         8 * kMiB,
         {{"run.bat", "@echo off\r\n"}, {"big.bin", std::string(kMiB + 1, 'z')}},
         payload::kFilterNone},
    };
    for (const SoundCase& c : cases) {
        SCOPED_TRACE(c.what);
        PackedBuilder builder(c.dictSize);
        uint64_t dataSize = 0;
        for (size_t i = 0; i < c.files.size(); ++i) {
            builder.Entry(c.files[i].first, c.files[i].second, i == 0 ? 1 : 0, c.filter,
                          0x50B10000 + static_cast<uint32_t>(i), 0x20 + static_cast<uint32_t>(i));
            dataSize += c.files[i].second.size();
        }
        PackedWalk walk(builder.Build());
        ASSERT_EQ(walk.Check().code, 0u);
        EXPECT_EQ(walk.state->totalSize, static_cast<int64_t>(dataSize));
        EXPECT_TRUE(walk.MadeNothing());
        ASSERT_EQ(walk.UnpackChecked().code, 0u);
        EXPECT_EQ(walk.state->doneSize, static_cast<int64_t>(dataSize));
        uint64_t unpacked = dataSize + builder.Index().size();
        uint64_t window = unpacked < c.dictSize ? unpacked : c.dictSize;
        EXPECT_EQ(walk.host.blockSizes,
                  std::vector<uint32_t>{static_cast<uint32_t>(window + builder.Index().size())});
        for (size_t i = 0; i < c.files.size(); ++i) {
            std::string path = std::string("C:\\TEMP\\~sfx0012AB34CD\\") + c.files[i].first;
            const sfxtest::MemoryFile& f = walk.host.files[path];
            EXPECT_TRUE(f.data == c.files[i].second) << path;
            EXPECT_EQ(f.time, 0x50B10000 + i);
            EXPECT_EQ(f.attr, 0x20 + i);
            EXPECT_TRUE(f.closed);
        }
        EXPECT_STREQ(walk.state->launchPath,
                     ("C:\\TEMP\\~sfx0012AB34CD\\" + c.files[0].first).c_str());
    }
}

TEST(PackedUnpack, FoldersAndRecordsComeInThePlainOrder) {
    PackedWalk walk(SmallTree());
    ASSERT_EQ(walk.Unpack().code, 0u);
    const std::string dir = "C:\\TEMP\\~sfx0012AB34CD\\";
    EXPECT_EQ(
        walk.host.events,
        (std::vector<std::string>{"create " + dir + "setup.exe", "attr " + dir + "setup.exe",
                                  "mkdir " + dir + "docs", "create " + dir + "docs\\readme.txt",
                                  "attr " + dir + "docs\\readme.txt",
                                  "create " + dir + "docs\\empty", "attr " + dir + "docs\\empty"}));
    EXPECT_EQ(walk.host.unpacked.size(), 3u);
}

TEST(PackedUnpack, BytesAfterTheStreamAreIgnored) {
    PackedWalk walk(SmallTree() + std::string(600, '\x5A')); // a certificate table, say
    EXPECT_EQ(walk.Unpack().code, 0u);
}

TEST(PackedCheck, EveryTruncationIsRefusedBeforeAnythingIsMade) {
    const std::string file = SmallTree();
    for (size_t cut = PackedBuilder::HeaderOffset(); cut < file.size(); ++cut) {
        PackedWalk walk(file.substr(0, cut));
        EXPECT_EQ(walk.Unpack().code, kBadFormat) << "cut at " << cut;
        EXPECT_TRUE(walk.MadeNothing()) << "cut at " << cut;
    }
}

TEST(PackedCheck, EveryFlippedByteOfHeaderAndStreamIsRefusedBeforeAnythingIsMade) {
    const std::string file = SmallTree();
    for (size_t at = PackedBuilder::HeaderOffset(); at < file.size(); ++at)
        for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}}) {
            std::string damaged = file;
            damaged[at] = static_cast<char>(damaged[at] ^ mask);
            PackedWalk walk(damaged);
            EXPECT_EQ(walk.Unpack().code, kBadFormat) << "byte " << at;
            EXPECT_TRUE(walk.MadeNothing()) << "byte " << at;
        }
}

// One index record with its tail, for hostile indexes.
std::string Record(const std::string& name, int32_t size, uint8_t isExe = 1,
                   uint8_t filter = payload::kFilterNone, int32_t nameLength = INT32_MIN) {
    payload::TEntryHeader h{
        isExe, nameLength != INT32_MIN ? nameLength : static_cast<int32_t>(name.size()), size,
        0x50B16DAF, 0x20};
    payload::TPackedEntryTail tail{0, filter};
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + name +
           std::string(reinterpret_cast<const char*>(&tail), sizeof tail);
}

struct HostileCase {
    const char* what;
    std::string index; // empty: the sound index of the one entry "a.exe" of 5 bytes
    std::function<void(payload::TPackedHeader&)> adjust;
};

TEST(PackedCheck, HostileIndexesAndHeadersAreRefusedBeforeAnythingIsMade) {
    using H = payload::TPackedHeader;
    const HostileCase cases[] = {
        {"parent folder", Record("..\\a.exe", 5), {}},
        {"parent folder Windows reads so", Record("sub\\. .\\a.exe", 5), {}},
        {"rooted", Record("\\a.exe", 5), {}},
        {"drive", Record("C:a.exe", 5), {}},
        {"control character", Record("a\x01.exe", 5), {}},
        {"tab", Record("a\t.exe", 5), {}},
        {"empty name", Record("", 5), {}},
        {"negative name length", Record("a.exe", 5, 1, 0, -3), {}},
        {"name longer than a path", Record(std::string(1025, 'n'), 5), {}},
        {"negative size", Record("a.exe", -5), {}},
        {"sizes that do not add up", Record("a.exe", 4) + Record("b", 2, 0), {}},
        {"no marked entry", Record("a.exe", 5, 0), {}},
        {"two marked entries", Record("a.exe", 3) + Record("b", 2), {}},
        {"unknown filter", Record("a.exe", 5, 1, payload::kFilterX86Code + 1), {}},
        {"record beyond the index", Record("a.exe", 5).substr(0, 20), {}},
        {"bytes after the records", Record("a.exe", 5) + "xx", {}},
        {"more records than counted", {}, [](H& h) { h.EntryCount = 2; }},
        {"huge count", {}, [](H& h) { h.EntryCount = 0xFFFFFFFF; }},
        {"no records", {}, [](H& h) { h.EntryCount = 0; }},
        {"index over the limit", {}, [](H& h) { h.IndexSize = payload::kMaxIndexSize + 1; }},
        {"data size larger", {}, [](H& h) { h.DataSize += 1; }},
        {"no data", {}, [](H& h) { h.DataSize = 0; }},
        {"dictionary over the limit",
         {},
         [](H& h) { h.DictSize = payload::kMaxDictionarySize + 1; }},
        {"no dictionary", {}, [](H& h) { h.DictSize = 0; }},
        {"stream beyond the file", {}, [](H& h) { h.PackedSize += 1; }},
        {"stream size huge", {}, [](H& h) { h.PackedSize = ~uint64_t{0}; }},
        {"no stream", {}, [](H& h) { h.PackedSize = 0; }},
        {"another magic", {}, [](H& h) { h.Magic[3] = '2'; }},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.what);
        PackedBuilder builder;
        builder.Entry("a.exe", "12345", 1);
        if (!c.index.empty())
            builder.RawIndex(c.index);
        PackedWalk walk(builder.Build(c.adjust));
        EXPECT_EQ(walk.Unpack().code, kBadFormat);
        EXPECT_TRUE(walk.MadeNothing());
    }
}

// A stream whose size and checksum agree but that breaks off before its end byte: no builder
// writes one, and it is refused once the data has run out.
TEST(PackedUnpack, StreamWithoutItsEndIsRefused) {
    PackedBuilder builder;
    builder.Entry("a.exe", "12345", 1);
    std::string sound = builder.Build();
    PackedWalk walk(builder.Build([&](payload::TPackedHeader& h) {
        h.PackedSize -= 1;
        h.PackedCrc = payload::Crc32(0, sound.data() + PackedBuilder::StreamOffset(), h.PackedSize);
    }));
    EXPECT_EQ(walk.Unpack().code, kBadFormat);
}

TEST(PackedCheck, WindowAllocationFailureReportsLackOfMemory) {
    PackedWalk walk(SmallTree());
    walk.host.failAlloc = true;
    Outcome r = walk.Unpack();
    EXPECT_EQ(r.code, 8u);
    EXPECT_EQ(r.subject, sfx::Subject::OwnPath);
    EXPECT_TRUE(walk.MadeNothing());
}

TEST(PackedCheck, FailingReadsReportTheSystemCode) {
    for (size_t from : {PackedBuilder::HeaderOffset() + 10, PackedBuilder::StreamOffset() + 3}) {
        PackedWalk walk(SmallTree());
        walk.host.failReadsFrom = static_cast<int64_t>(from);
        EXPECT_EQ(walk.Unpack().code, 23u) << from;
        EXPECT_TRUE(walk.MadeNothing());
    }
}

TEST(PackedUnpack, FailingWriteNamesTheEntry) {
    PackedWalk walk(SmallTree());
    walk.host.failWriteCode = 112;
    Outcome r = walk.Unpack();
    EXPECT_EQ(r.code, 112u);
    EXPECT_EQ(r.subject, sfx::Subject::EntryPath);
    EXPECT_STREQ(walk.state->fileName, "C:\\TEMP\\~sfx0012AB34CD\\setup.exe");
}

TEST(PackedUnpack, ChecksumMismatchIsRefusedAfterTheEntry) {
    PackedBuilder builder;
    builder.Entry("a.exe", "12345", 1);
    std::string index = builder.Index();
    index[index.size() - 5] ^= 1; // the stored checksum
    PackedWalk walk(builder.RawIndex(index).Build());
    EXPECT_EQ(walk.Unpack().code, kBadFormat);
    EXPECT_EQ(walk.host.files["C:\\TEMP\\~sfx0012AB34CD\\a.exe"].data, "12345");
}

} // namespace

// packrig-inspect's verdict against the runtime module's run, step for step as the module takes
// it, on the fuzzers' seeds and on every cut and many flipped bytes of each.
#include "archive.h"
#include "inspection.h"
#include "memory_host.h"
#include "packed.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The runtime module's checks and unpack loop, in its order, on an in-memory file.
uint32_t RuntimeVerdict(const std::string& file) {
    sfxtest::MemoryHost host;
    host.archive = file;
    static uint8_t buffer[payload::kChunkSize];
    sfx::RunState run;
    sfx::Outcome r = sfx::LocatePayload(host, run.imageEnd);
    if (r.code != 0)
        return r.code;
    if (run.imageEnd == 0 || host.Size() <= run.imageEnd + 11)
        return sfx::kBadFormat;
    if ((r = sfx::ReadArchiveId(host, run)).code != 0 || (r = sfx::CheckPayload(host, run)).code)
        return r.code;
    sfx::SetWorkDir(run, "C:\\TEMP");
    if ((r = sfx::SeekTo(host, run.imageEnd + 11)).code != 0 ||
        (r = sfx::UnpackEntries(host, run, buffer)).code != 0)
        return r.code;
    return run.launchPath[0] == 0 ? sfx::kBadFormat : 0;
}

// The decoding module's checks and unpack loop, in its order, on an in-memory file.
uint32_t DecodingRuntimeVerdict(const std::string& file) {
    sfxtest::MemoryHost host;
    host.archive = file;
    static uint8_t buffer[payload::kChunkSize];
    static lz::Decoder decoder;
    sfx::RunState run;
    sfx::PackedRun<sfxtest::MemoryHost> packed;
    packed.decoder = &decoder;
    sfx::Outcome r = sfx::LocatePayload(host, run.imageEnd);
    if (r.code != 0)
        return r.code;
    if (run.imageEnd == 0 || host.Size() <= run.imageEnd + 11)
        return sfx::kBadFormat;
    if ((r = sfx::ReadArchiveId(host, run)).code != 0 ||
        (r = sfx::CheckPackedPayload(host, run, packed, buffer)).code != 0 ||
        (r = sfx::ReadPackedIndex(host, packed)).code != 0)
        return r.code;
    sfx::SetWorkDir(run, "C:\\TEMP");
    if ((r = sfx::UnpackPackedEntries(host, run, packed, buffer)).code != 0)
        return r.code;
    return run.launchPath[0] == 0 ? sfx::kBadFormat : 0;
}

class StringSource : public inspect::Source {
  public:
    explicit StringSource(const std::string& data) : data_(data) {}
    bool Seek(int64_t pos) override {
        pos_ = pos;
        return true;
    }
    bool Read(void* buf, uint32_t n, uint32_t* got) override {
        int64_t left = pos_ < Size() ? Size() - pos_ : 0;
        *got = left < n ? static_cast<uint32_t>(left) : n;
        std::memcpy(buf, data_.data() + pos_, *got);
        pos_ += *got;
        return true;
    }
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    uint32_t LastError() override { return 0; }

  private:
    const std::string& data_;
    int64_t pos_ = 0;
};

uint32_t InspectVerdict(const std::string& file, bool listing) {
    StringSource source(file);
    inspect::Sink nothing;
    return inspect::Inspect(source, nothing, "", listing).code;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The seeds as the fuzzers run them: payload seeds behind the fuzzer's small image.
std::vector<std::string> Seeds() {
    std::vector<std::string> seeds;
    std::filesystem::path dir = std::filesystem::path(PACKRIG_SOURCE_DIR) / "tests/sfxhead/fuzz";
    std::string image = sfxtest::ArchiveBuilder(0x400).ImageOnly();
    for (const char* folder : {"payload_seeds", "locate_seeds"})
        for (const auto& f : std::filesystem::directory_iterator(dir / folder)) {
            std::string data = ReadFile(f.path());
            seeds.push_back(data.starts_with("MZ") ? data : image + data);
        }
    seeds.push_back(sfxtest::ArchiveBuilder().Entry("setup.exe", "MZ program", 1).Build());
    return seeds;
}

void ExpectSameVerdict(const std::string& file, const std::string& what) {
    uint32_t runtime = RuntimeVerdict(file);
    EXPECT_EQ(InspectVerdict(file, false), runtime) << what;
    EXPECT_EQ(InspectVerdict(file, true), runtime) << what << " (listing)";
}

TEST(VerdictTest, AgreesWithTheRuntimeOnSeedsCutsAndFlips) {
    int sound = 0, refused = 0;
    for (const std::string& seed : Seeds()) {
        ExpectSameVerdict(seed, "seed");
        (RuntimeVerdict(seed) == 0 ? sound : refused)++;
        for (size_t cut = 0; cut < seed.size(); ++cut)
            ExpectSameVerdict(seed.substr(0, cut), "cut at " + std::to_string(cut));
        for (size_t at = seed.size() > 0x300 ? 0x300 : 0; at < seed.size(); at += 3) {
            std::string flipped = seed;
            flipped[at] = static_cast<char>(flipped[at] ^ 0x41);
            ExpectSameVerdict(flipped, "flip at " + std::to_string(at));
        }
    }
    EXPECT_GT(sound, 0);
    EXPECT_GT(refused, 0);
}

TEST(VerdictTest, AgreesWithTheDecodingModuleOnCompressedFilesCutsAndFlips) {
    std::string file =
        sfxtest::PackedBuilder()
            .Entry("setup.exe", "MZ program", 1, payload::kFilterX86)
            .Entry("Docs\\a.txt", "abcabcabc", 0, payload::kFilterNone, 0x50B16DAF, 0x21)
            .Build();
    ASSERT_EQ(DecodingRuntimeVerdict(file), 0u);
    for (size_t cut = 0; cut <= file.size(); ++cut)
        EXPECT_EQ(InspectVerdict(file.substr(0, cut), false),
                  DecodingRuntimeVerdict(file.substr(0, cut)))
            << "cut at " << cut;
    for (size_t at = sfxtest::PackedBuilder::HeaderOffset(); at < file.size(); ++at) {
        std::string flipped = file;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x41);
        EXPECT_EQ(InspectVerdict(flipped, true), DecodingRuntimeVerdict(flipped))
            << "flip at " << at;
    }

    StringSource source(file);
    inspect::Sink nothing;
    inspect::Inspection r = inspect::Inspect(source, nothing, "", true);
    ASSERT_TRUE(r.IsSound());
    EXPECT_TRUE(r.compressed);
    EXPECT_EQ(r.unpackedSize, 19);
    EXPECT_EQ(r.packedSize,
              static_cast<int64_t>(file.size() - sfxtest::PackedBuilder::StreamOffset()));
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_TRUE(r.entries[0].marked);
    EXPECT_EQ(r.entries[1].name, "Docs\\a.txt");
    EXPECT_EQ(r.entries[1].attr, 0x21u);
    EXPECT_EQ(r.entries[1].checksum, payload::ByteSum("Docs\\a.txtabcabcabc", 19));
}

TEST(VerdictTest, ListsEntriesWithTheirFieldsAndTheMark) {
    std::string file = sfxtest::ArchiveBuilder()
                           .Entry("Docs\\a.txt", "abc", 0, 0x50B16DAF, 0x21)
                           .Entry("setup.exe", "", 1)
                           .Build();
    StringSource source(file);
    inspect::Sink nothing;
    inspect::Inspection r = inspect::Inspect(source, nothing, "", true);
    ASSERT_TRUE(r.IsSound());
    EXPECT_EQ(r.id, "0012AB34CD");
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].name, "Docs\\a.txt");
    EXPECT_EQ(r.entries[0].size, 3);
    EXPECT_EQ(r.entries[0].attr, 0x21u);
    EXPECT_EQ(r.entries[0].checksum, payload::ByteSum("Docs\\a.txtabc", 13));
    EXPECT_FALSE(r.entries[0].marked);
    EXPECT_TRUE(r.entries[1].marked);
    EXPECT_EQ(inspect::DosTimeText(0x50B16DAF), "2020-05-17 13:45:30");
}

TEST(VerdictTest, ListsAnUnterminatedFileButRefusesIt) {
    std::string file = sfxtest::ArchiveBuilder().Entry("setup.exe", "x", 1).Build(false);
    StringSource source(file);
    inspect::Sink nothing;
    inspect::Inspection r = inspect::Inspect(source, nothing, "", true);
    EXPECT_EQ(r.code, sfx::kBadFormat);
    EXPECT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(inspect::Reason(r, "/x/t.exe"),
              "/x/t.exe is not a valid Win32 application (error 193)");
}

} // namespace

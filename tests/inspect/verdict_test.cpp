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

// Windows, as the runtime module meets it, cannot create the names that the builders refuse.
struct WindowsHost : sfxtest::MemoryHost {
    size_t workDirLength = 0;
    bool CreateOutput(const char* path) {
        if (!inspect::BuilderNameProblem(path + workDirLength).empty()) {
            lastError = 123; // ERROR_INVALID_NAME
            return false;
        }
        return MemoryHost::CreateOutput(path);
    }
};

// The runtime module's checks and unpack loop, in its order, on an in-memory file.
uint32_t RuntimeVerdict(const std::string& file) {
    WindowsHost host;
    host.archive = file;
    static uint8_t buffer[payload::kChunkSize];
    sfx::RunState run;
    sfx::Outcome r = sfxtest::ReadUpToIdentifier(host, run);
    if (r.code != 0 || (r = sfx::CheckPayload(host, run)).code != 0)
        return r.code;
    sfx::SetWorkDir(run, "C:\\TEMP");
    host.workDirLength = sfx::TextLength(run.workDir);
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
    sfx::Outcome r = sfxtest::ReadUpToIdentifier(host, run);
    if (r.code != 0 || (r = sfx::CheckPackedPayload(host, run, packed, buffer)).code != 0 ||
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
              "/x/t.exe is not a valid Win32 application (error 193): cut short at offset 1066: "
              "no terminator behind the last entry");
}

// Every refusal names the entry (counted from 1, its header's offset) and the rule it breaks.
// The first entry's header is at 1035: the image's 0x400 bytes and the identifier's 11.
TEST(VerdictTest, RefusalsSayWhichEntryAndWhy) {
    using sfxtest::ArchiveBuilder;
    auto withName = [](const std::string& name) {
        return ArchiveBuilder().Entry("a.txt", "1").Entry(name, "2", 1).Build();
    };
    std::string sound = withName("b.txt");
    std::string badSum = sound;
    badSum[badSum.size() - 22] ^= 1; // the data byte of "b.txt"
    const std::string bad = "is not a valid Win32 application (error 193): ";
    const std::string invalid =
        "The filename, directory name, or volume label syntax is incorrect (error 123): ";
    const std::string character =
        "a name Windows cannot create (Name holds a character that Windows does not allow in "
        "file names)";
    const std::string exists = "Cannot create a file when that file already exists (error 183): ";
    const std::string onlyCase = "\" only in letter case, and Windows holds only one of them";
    const std::string b2 = "entry 2 \"";
    const std::string at = "\" at offset 1062: ";
    struct Case {
        std::string file, reason;
    } cases[] = {
        {"MZ", "t.exe " + bad + "no PE image with section data"},
        {ArchiveBuilder().ImageOnly(),
         "t.exe " + bad + "no payload behind the image, which ends at offset 1024"},
        {ArchiveBuilder().ImageOnly() + std::string(64, '\xFF'),
         "t.exe " + bad + "no payload behind the image, which ends at offset 1024"},
        {ArchiveBuilder().ImageOnly() + "12345", "t.exe " + bad +
                                                     "cut short at offset 1029: no identifier "
                                                     "behind the image, which ends at offset 1024"},
        {sound.substr(0, 1070), "t.exe " + bad +
                                    "cut short at offset 1070: entry 2 at offset "
                                    "1062 runs past the end of the file"},
        {ArchiveBuilder().Entry("a.txt", "1").RawHeader(1, -1, 0, 1, 0).Build(),
         "t.exe " + bad + "entry 2 at offset 1062: impossible header (name length -1, size 0)"},
        {ArchiveBuilder().Entry("a.txt", "", 1).Build(), "t.exe " + bad + "no entry holds data"},
        {ArchiveBuilder().Entry("a.txt", "1").Build(),
         "t.exe " + bad + "no entry is marked as the program to start"},
        {badSum, "t.exe " + bad + b2 + "b.txt" + at + "checksum does not match the name and data"},
        {withName("..\\x"), "t.exe " + bad + b2 + "..\\x" + at +
                                "unsafe name, which would reach outside the folder it unpacks "
                                "into"},
        {withName("a*b.txt"), "a*b.txt: " + invalid + b2 + "a*b.txt" + at + character},
        {withName("d\\q?.txt"), "d\\q?.txt: " + invalid + b2 + "d\\q?.txt" + at + character},
        {withName("|"), "|: " + invalid + b2 + "|" + at + character},
        {withName("<"), "<3C>: " + invalid + b2 + "<3C>" + at + character},
        {withName("\""), "\": " + invalid + b2 + "\"" + at + character},
        {withName("dir.\\b"), "dir.\\b: " + invalid + b2 + "dir.\\b" + at +
                                  "a name Windows cannot create (Name ends in a dot or a blank, "
                                  "which Windows does not allow)"},
        {withName("Aux.txt"), "Aux.txt: " + invalid + b2 + "Aux.txt" + at +
                                  "a name Windows cannot create (Name is a device name that "
                                  "Windows reserves)"},
        {withName(std::string(242, 'n')),
         std::string(242, 'n') + ": " + invalid + b2 + std::string(242, 'n') + at +
             "a name Windows cannot create (Name is longer than 241 characters, the most that a "
             "Windows path leaves below the working folder)"},
        {withName("A.TXT"),
         "A.TXT: " + exists + b2 + "A.TXT" + at + "a name that differs from \"a.txt" + onlyCase},
        {withName("A.txt\\b"), "A.txt\\b: " + exists + b2 + "A.txt\\b" + at +
                                   "a name that differs from \"a.txt" + onlyCase},
        {withName("a.txt"), "t.exe is not a valid Win32 application (error 193): entry 2 "
                            "\"a.txt\"" +
                                at.substr(1) +
                                "a second entry of a name that an "
                                "earlier entry has"},
        {ArchiveBuilder().Entry("D\\a.txt", "1").Entry("d\\b.txt", "2", 1).Build(),
         "d\\b.txt: " + exists + b2 + "d\\b.txt\" at offset 1064: a name that differs from \"D" +
             onlyCase},
    };
    EXPECT_TRUE(InspectVerdict(sound, false) == 0);
    EXPECT_EQ(InspectVerdict(withName(std::string(241, 'n')), false), 0u);
    for (const Case& c : cases) {
        for (bool listing : {false, true}) {
            StringSource source(c.file);
            inspect::Sink nothing;
            inspect::Inspection r = inspect::Inspect(source, nothing, "", listing);
            EXPECT_EQ(inspect::Reason(r, "t.exe"), c.reason) << (listing ? "listing" : "verify");
        }
    }
}

} // namespace

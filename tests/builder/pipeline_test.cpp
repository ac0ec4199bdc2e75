// The build pipeline on real trees in a temporary folder, with a host that records what the
// pipeline asks of the window and that changes files between entries to inject faults. Compressed
// payloads are read back with liblzma's decoder.
#include "build_sfx.h"
#include "bytesum.h"
#include "crc32.h"
#include "packed_payload.h"
#include "packed_stream.h"
#include "payload.h"
#include "x86_filter.h"

#include <gtest/gtest.h>
#include <lzma.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using fpackrig::BuildFlags;
using fpackrig::BuildOutcome;

const std::string kImage = "FAKE-RUNTIME-MODULE-IMAGE";

// MS-DOS date and time of a UTC time already shifted to local time.
uint32_t DosTime(time_t shifted) {
    struct tm t {};
    gmtime_r(&shifted, &t);
    uint32_t date =
        static_cast<uint32_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    return (date << 16) |
           static_cast<uint32_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

struct Entry {
    payload::TEntryHeader header;
    std::string name;
    std::string data;
    uint32_t checksum;
};

class RecordingHost : public fpackrig::BuildHost {
  public:
    void PumpMessages() override {
        ++pumps;
        if (afterPump)
            afterPump(pumps);
    }
    void EnterBusyState() override { events += "busy;"; }
    void LeaveBusyState() override { events += "idle;"; }
    void StoreSettings(const std::string& s, const std::string& e, const std::string& t) override {
        stored = s + "|" + e + "|" + t;
    }
    void RequestEnd() override { events += "end;"; }
    void Note(const std::string& line) override { notes += line + "\n"; }

    int pumps = 0;
    std::string events;
    std::string stored;
    std::string notes;
    std::function<void(int)> afterPump;
};

class Pipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("packrig-pipeline-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "src");
        flags_.ShowCompletion = false;
        flags_.OverwriteTarget = true;
        flags_.PathsGiven = true;
    }
    void TearDown() override { fs::remove_all(root_); }

    void Write(const std::string& rel, const std::string& data) {
        fs::path p = root_ / "src" / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << data;
    }

    fpackrig::BuildResult Build(const std::string& exe = "setup.exe", std::string target = "") {
        if (target.empty())
            target = (root_ / "out" / "sfx.exe").string();
        target_ = target;
        prutils::ResourceBytes image{kImage.data(), static_cast<uint32_t>(kImage.size())};
        return fpackrig::BuildSfx((root_ / "src").string(), exe, target, flags_, image, host_);
    }

    std::string Target() const {
        std::ifstream in(target_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

    // Reads back the payload that follows the fake image.
    std::vector<Entry> Entries() {
        std::string all = Target();
        EXPECT_EQ(all.compare(0, kImage.size(), kImage), 0);
        size_t pos = kImage.size() + sizeof(payload::ArchiveId);
        std::vector<Entry> entries;
        for (;;) {
            Entry e{};
            std::memcpy(&e.header, all.data() + pos, sizeof(e.header));
            pos += sizeof(e.header);
            if (payload::IsTerminator(e.header))
                break;
            e.name = all.substr(pos, static_cast<size_t>(e.header.NameLength));
            pos += e.name.size();
            e.data = all.substr(pos, static_cast<size_t>(e.header.Size));
            pos += e.data.size();
            std::memcpy(&e.checksum, all.data() + pos, 4);
            pos += 4;
            entries.push_back(e);
        }
        EXPECT_EQ(pos, all.size()) << "bytes after the terminator";
        return entries;
    }

    fs::path root_;
    std::string target_;
    BuildFlags flags_;
    RecordingHost host_;
};

TEST_F(Pipeline, StoresTreeDepthFirstInListingOrderWithChecksums) {
    Write("b.txt", "bee");
    Write("A/inner.txt", "inner");
    Write("Setup.exe", "MZ");
    Write("c/empty.txt", "");
    fs::create_directories(root_ / "src" / "empty" / "deeper");
    ASSERT_EQ(Build("Setup.exe").outcome, BuildOutcome::Built);
    std::vector<Entry> entries = Entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "A\\inner.txt");
    EXPECT_EQ(entries[1].name, "b.txt");
    EXPECT_EQ(entries[2].name, "c\\empty.txt");
    EXPECT_EQ(entries[3].name, "Setup.exe");
    for (const Entry& e : entries) {
        EXPECT_EQ(e.checksum, payload::ByteSum(e.name.data(), e.name.size()) +
                                  payload::ByteSum(e.data.data(), e.data.size()));
        EXPECT_EQ(e.header.IsExeFile, e.name == "Setup.exe" ? 1 : 0) << e.name;
        EXPECT_EQ(uint32_t{e.header.Attr}, 0x20u);
    }
    EXPECT_EQ(host_.events, "busy;idle;end;");
    EXPECT_EQ(host_.pumps, 2 + 4);
}

// Windows finds the executable file through any spelling of its path, but marks its entry only
// when the name given is the stored name, letter case aside.
TEST_F(Pipeline, ExeFileIsFoundAndMarkedAsOnWindows) {
    Write("tools/Setup.exe", "MZ");
    struct Case {
        const char* exe;
        BuildOutcome outcome;
        int marked;
    };
    for (Case c : {Case{"tools\\Setup.exe", BuildOutcome::Built, 1},
                   Case{"TOOLS\\setup.EXE", BuildOutcome::Built, 1},
                   Case{"tools/Setup.exe", BuildOutcome::Built, 0},
                   Case{"./tools/setup.exe", BuildOutcome::Built, 0},
                   Case{"tools\\\\Setup.exe", BuildOutcome::Built, 0},
                   Case{"gone\\..\\Tools\\Setup.exe", BuildOutcome::Built, 0},
                   Case{"tools.\\Setup.exe. .", BuildOutcome::Built, 0},
                   Case{"..\\src\\tools\\Setup.exe", BuildOutcome::Built, 0},
                   Case{"tools\\Setup.exe\\", BuildOutcome::Rejected, 0},
                   Case{"tools \\Setup.exe", BuildOutcome::Rejected, 0},
                   Case{"tools", BuildOutcome::Rejected, 0}}) {
        host_.notes.clear();
        ASSERT_EQ(Build(c.exe).outcome, c.outcome) << c.exe;
        if (c.outcome == BuildOutcome::Built) {
            EXPECT_EQ(Entries().at(0).header.IsExeFile, c.marked) << c.exe;
        }
        bool warned = host_.notes.find("no file") != std::string::npos;
        EXPECT_EQ(warned, c.outcome == BuildOutcome::Built && c.marked == 0) << c.exe;
    }
}

TEST_F(Pipeline, MissingExeFileGetsTheRelativeNameHint) {
    Write("setup.exe", "MZ");
    EXPECT_EQ(Build((root_ / "src" / "setup.exe").string()).outcome, BuildOutcome::Rejected);
    EXPECT_NE(host_.notes.find("relative to the source directory"), std::string::npos);
}

// Linux tells these names apart, Windows does not: one file would be lost when unpacking.
TEST_F(Pipeline, NamesThatDifferOnlyInCaseAreRefused) {
    Write("setup.exe", "MZ");
    Write("sub/Read.me", "one");
    Write("sub/READ.ME", "two");
    fpackrig::BuildResult result = Build();
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_NE(result.error.find("sub/READ.ME\r\n"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("sub/Read.me"), std::string::npos) << result.error;
    fs::remove(root_ / "src" / "sub" / "READ.ME");
    Write("Sub/file.txt", "a folder beside a folder");
    EXPECT_EQ(Build().outcome, BuildOutcome::Failed);
    fs::remove_all(root_ / "src" / "Sub");
    Write("SUB", "a file beside a folder");
    EXPECT_EQ(Build().outcome, BuildOutcome::Failed);
    fs::remove(root_ / "src" / "SUB");
    EXPECT_EQ(Build().outcome, BuildOutcome::Built);
}

TEST_F(Pipeline, ExeFileMatchingSeveralFilesIsRefusedNamingThem) {
    Write("SETUP.EXE", "MZ upper");
    Write("setup.exe", "MZ lower");
    ::testing::internal::CaptureStderr();
    fpackrig::BuildResult result = Build("Setup.exe");
    std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.outcome, BuildOutcome::Rejected);
    EXPECT_NE(shown.find((root_ / "src" / "SETUP.EXE").string()), std::string::npos) << shown;
    EXPECT_NE(shown.find((root_ / "src" / "setup.exe").string()), std::string::npos) << shown;
    EXPECT_FALSE(fs::exists(target_));
}

// The shortest working folder, "C:\~sfx0012345678\", leaves a name 241 of the 259 characters
// that a Windows path holds.
TEST_F(Pipeline, NamesTooLongToUnpackAreRefused) {
    Write("setup.exe", "MZ");
    std::string folder(100, 'd');
    Write(folder + "/" + std::string(140, 'f'), "fits: 241 characters");
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    EXPECT_EQ(Entries().at(0).name.size(), 241u);
    Write(folder + "/" + std::string(141, 'g'), "242 characters");
    fpackrig::BuildResult result = Build();
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_NE(result.error.find("longer than 241 characters"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(std::string(141, 'g')), std::string::npos) << result.error;
}

// Windows converts a time with the offset in force now, whatever the file's date: both halves
// of the year move by the same offset.
TEST_F(Pipeline, TimesMoveByTheOffsetInForceNow) {
    std::string oldTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    Write("setup.exe", "MZ");
    Write("summer.txt", "s");
    Write("winter.txt", "w");
    const time_t summer = 1719835200; // 2024-07-01 12:00:00 UTC
    const time_t winter = 1705320000; // 2024-01-15 12:00:00 UTC
    for (auto [name, when] : {std::pair{"summer.txt", summer}, std::pair{"winter.txt", winter}}) {
        struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (root_ / "src" / name).c_str(), times, 0), 0);
    }
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    std::vector<Entry> entries = Entries();
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff; // +1 h in winter, +2 h in summer
    uint32_t summerStored = entries.at(1).header.Time, winterStored = entries.at(2).header.Time;
    EXPECT_EQ(summerStored, DosTime(summer + offset));
    EXPECT_EQ(winterStored, DosTime(winter + offset));
    if (oldTz.empty())
        unsetenv("TZ");
    else
        setenv("TZ", oldTz.c_str(), 1);
    tzset();
}

TEST_F(Pipeline, TargetInsideTheSourceTreeIsNotStored) {
    Write("setup.exe", "MZ");
    ASSERT_EQ(Build("setup.exe", (root_ / "src" / "out.exe").string()).outcome,
              BuildOutcome::Built);
    std::vector<Entry> entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "setup.exe");
}

TEST_F(Pipeline, FileThatShrinksAfterTheListingFailsTheBuild) {
    Write("a.exe", "MZ");
    Write("b.dat", std::string(5000, 'x'));
    host_.afterPump = [&](int pump) {
        if (pump == 3) // after the first stored file
            fs::resize_file(root_ / "src" / "b.dat", 10);
    };
    fpackrig::BuildResult result = Build("a.exe");
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_EQ(result.error, "Read beyond end of file");
    EXPECT_EQ(host_.events, "busy;idle;");
}

TEST_F(Pipeline, FileThatGrowsIsStoredWithItsListedSize) {
    Write("a.exe", "MZ");
    Write("b.dat", "12345");
    host_.afterPump = [&](int pump) {
        if (pump == 3)
            std::ofstream(root_ / "src" / "b.dat", std::ios::app) << "678";
    };
    ASSERT_EQ(Build("a.exe").outcome, BuildOutcome::Built);
    EXPECT_EQ(Entries().at(1).data, "12345");
}

TEST_F(Pipeline, FileThatDisappearsFailsWithItsMessage) {
    Write("a.exe", "MZ");
    Write("b.dat", "gone soon");
    host_.afterPump = [&](int pump) {
        if (pump == 3)
            fs::remove(root_ / "src" / "b.dat");
    };
    fpackrig::BuildResult result = Build("a.exe");
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_EQ(result.error, "File not found");
    EXPECT_EQ(result.errorPath, (root_ / "src" / "b.dat").string());
}

TEST_F(Pipeline, NamesWindowsCannotHoldFailTheBuild) {
    Write("setup.exe", "MZ");
    for (std::string bad : {"a:b.txt", "trailing.", "trailing ", "CON.txt", "lpt1", "q?",
                            "back\\slash", "\xD0\x96.txt"}) {
        Write(bad, "x");
        fpackrig::BuildResult result = Build();
        EXPECT_EQ(result.outcome, BuildOutcome::Failed) << bad;
        EXPECT_NE(result.error.find(bad), std::string::npos) << result.error;
        fs::remove(root_ / "src" / bad);
    }
    Write("COM0", "fine");
    Write("CONSOLE.txt", "fine");
    EXPECT_EQ(Build().outcome, BuildOutcome::Built);
}

TEST_F(Pipeline, FileOf2GiBIsRefusedBeforeItsEntry) {
    Write("setup.exe", "MZ");
    Write("zz-huge.bin", "");
    fs::resize_file(root_ / "src" / "zz-huge.bin", 0x80000000ull); // sparse
    fpackrig::BuildResult result = Build();
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_NE(result.error.find("2 GiB"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("zz-huge.bin"), std::string::npos) << result.error;
    // What was written ends after the complete first entry: nothing of the large one.
    EXPECT_EQ(fs::file_size(target_), kImage.size() + 11 + 17 + 9 + 2 + 4);
}

TEST_F(Pipeline, SfxFileThatWouldReach2GiBIsRefused) {
    Write("setup.exe", "MZ");
    Write("x1.bin", "");
    Write("x2.bin", "");
    fs::resize_file(root_ / "src" / "x1.bin", 0x40000000ull);
    fs::resize_file(root_ / "src" / "x2.bin", 0x40000000ull);
    fpackrig::BuildResult result = Build();
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_NE(result.error.find("x2.bin"), std::string::npos) << result.error;
}

TEST_F(Pipeline, RejectedInputsStoreSettingsButWriteNothing) {
    flags_.PathsGiven = false;
    fpackrig::BuildResult result = Build("missing.exe");
    EXPECT_EQ(result.outcome, BuildOutcome::Rejected);
    EXPECT_EQ(host_.stored, (root_ / "src").string() + "/|missing.exe|" + target_);
    EXPECT_FALSE(fs::exists(target_));
    EXPECT_EQ(host_.events, "");
}

TEST_F(Pipeline, TargetChecks) {
    Write("setup.exe", "MZ");
    EXPECT_EQ(Build("setup.exe", (root_ / "out" / "sfx.exe.bak").string()).outcome,
              BuildOutcome::Rejected);
    EXPECT_EQ(Build("setup.exe", (root_ / "out" / "sfx").string()).outcome, BuildOutcome::Rejected);
    EXPECT_EQ(Build("  setup.exe\t", "  " + (root_ / "out" / "sfx.ExE").string() + " ").outcome,
              BuildOutcome::Built);
    fpackrig::BuildResult bare = Build("setup.exe", "bare.exe");
    EXPECT_EQ(bare.outcome, BuildOutcome::Failed);
    EXPECT_EQ(bare.error, "Unable to create directory");
    EXPECT_EQ(bare.errorPath, "bare.exe");
    EXPECT_FALSE(fs::exists("bare.exe"));
}

TEST(PipelineRules, TargetDirectoryAndExtension) {
    EXPECT_EQ(fpackrig::TargetDirectory("/out/dir/x.exe"), "/out/dir");
    EXPECT_EQ(fpackrig::TargetDirectory("/x.exe"), "/");
    EXPECT_EQ(fpackrig::TargetDirectory("x.exe"), "");
    EXPECT_TRUE(fpackrig::HasExeExtension("/a.b/X.eXe"));
    EXPECT_FALSE(fpackrig::HasExeExtension("/a.exe/x"));
    EXPECT_FALSE(fpackrig::HasExeExtension("x.exe.bak"));
    EXPECT_FALSE(fpackrig::HasExeExtension(".exe/"));
}

} // namespace

namespace {

// A compressed payload read back: its header, the decoded index and each entry's stored bytes
// (as the stream holds them, x86-converted where flagged).
struct PackedEntry {
    payload::TEntryHeader header;
    std::string name;
    payload::TPackedEntryTail tail;
    std::string stored;
};

struct Packed {
    payload::TPackedHeader header{};
    std::vector<PackedEntry> entries;
};

std::string RawDecode(std::string_view stream, uint32_t dictSize, uint64_t expected) {
    lzma_options_lzma options{};
    options.dict_size = dictSize;
    options.lc = 3;
    options.pb = 2;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream s = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_raw_decoder(&s, filters), LZMA_OK);
    std::string out(static_cast<size_t>(expected) + 1, '\0');
    s.next_in = reinterpret_cast<const uint8_t*>(stream.data());
    s.avail_in = stream.size();
    s.next_out = reinterpret_cast<uint8_t*>(out.data());
    s.avail_out = out.size();
    lzma_ret ret = lzma_code(&s, LZMA_FINISH);
    EXPECT_EQ(ret, LZMA_STREAM_END);
    EXPECT_EQ(s.avail_in, 0u) << "bytes after the stream's end";
    out.resize(out.size() - s.avail_out);
    lzma_end(&s);
    return out;
}

// The bytes of `data` as liblzma's own x86 filter converts them, from position 0.
std::string LiblzmaX86(const std::string& data) {
    lzma_filter filters[] = {
        {LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 0);
    filters[1].options = &options;
    std::string packed(data.size() * 2 + 1024, '\0');
    size_t packedSize = 0;
    EXPECT_EQ(lzma_raw_buffer_encode(
                  filters, nullptr, reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                  reinterpret_cast<uint8_t*>(packed.data()), &packedSize, packed.size()),
              LZMA_OK);
    return RawDecode(std::string_view(packed).substr(0, packedSize), options.dict_size,
                     data.size());
}

std::string X86Decoded(std::string stored) {
    payload::X86State state;
    payload::X86Convert(state, reinterpret_cast<uint8_t*>(stored.data()),
                        static_cast<uint32_t>(stored.size()), false);
    return stored;
}

Packed ReadPacked(const std::string& all, size_t imageSize) {
    Packed p;
    size_t at = imageSize + sizeof(payload::ArchiveId);
    std::memcpy(&p.header, all.data() + at, sizeof(p.header));
    at += sizeof(p.header);
    const payload::TPackedHeader& h = p.header;
    EXPECT_EQ(std::memcmp(h.Magic, payload::kPackedMagic, 4), 0);
    EXPECT_EQ(h.HeaderCrc, payload::Crc32(0, &h, offsetof(payload::TPackedHeader, HeaderCrc)));
    EXPECT_EQ(at + h.PackedSize, all.size()) << "the stream ends the file";
    std::string_view stream = std::string_view(all).substr(at);
    EXPECT_EQ(h.PackedCrc, payload::Crc32(0, stream.data(), stream.size()));
    EXPECT_LE(h.DictSize, payload::kMaxDictionarySize);
    std::string plain = RawDecode(stream, h.DictSize, h.IndexSize + h.DataSize);
    EXPECT_EQ(plain.size(), h.IndexSize + h.DataSize);
    size_t pos = 0, data = static_cast<size_t>(h.IndexSize);
    for (uint32_t i = 0; i < h.EntryCount && pos < h.IndexSize; ++i) {
        PackedEntry e{};
        std::memcpy(&e.header, plain.data() + pos, sizeof(e.header));
        pos += sizeof(e.header);
        e.name = plain.substr(pos, static_cast<size_t>(e.header.NameLength));
        pos += e.name.size();
        std::memcpy(&e.tail, plain.data() + pos, sizeof(e.tail));
        pos += sizeof(e.tail);
        e.stored = plain.substr(data, static_cast<size_t>(e.header.Size));
        data += e.stored.size();
        p.entries.push_back(e);
    }
    EXPECT_EQ(pos, h.IndexSize);
    EXPECT_EQ(data, plain.size());
    return p;
}

// A PE image of x86 code as far as the first bytes tell, followed by `body`.
std::string FakePeImage(const std::string& body, uint16_t machine = 0x014C) {
    std::string image(0x80, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    image[0x3C] = 0x40;
    image.replace(0x40, 4, std::string("PE\0\0", 4));
    image[0x44] = static_cast<char>(machine & 0xFF);
    image[0x45] = static_cast<char>(machine >> 8);
    return image + body;
}

// Calls (E8) and jumps (E9) with small relative targets, the pattern the converter turns into
// repeated absolute ones; the stretch is long enough to cross the 1 MiB read chunks.
std::string CallHeavyCode(size_t size) {
    std::string code;
    uint32_t x = 12345;
    while (code.size() < size) {
        x = x * 1103515245 + 12345;
        code += static_cast<char>((x >> 16) % 3 ? 0xE8 : 0xE9);
        int32_t rel = static_cast<int32_t>((x >> 8) % 4096) - 2048;
        code.append(reinterpret_cast<const char*>(&rel), 4);
        code += static_cast<char>(x >> 24);
    }
    code.resize(size);
    return code;
}

class PackedPipeline : public Pipeline {
  protected:
    void SetUp() override {
        Pipeline::SetUp();
        Write("Setup.exe", FakePeImage(CallHeavyCode(2'500'000)));
        Write("lib/x64.dll", FakePeImage(CallHeavyCode(3000), 0x8664));
        Write("lib/arm.dll", FakePeImage(CallHeavyCode(3000), 0x01C4));
        Write("lib/notes.txt", std::string(200000, 'n') + "end");
        Write("MZ.txt", "MZ but no image");
        Write("empty/zero.bin", "");
    }

    Packed BuildPacked() {
        flags_.Compress = true;
        fpackrig::BuildResult result = Build("Setup.exe");
        EXPECT_EQ(result.outcome, BuildOutcome::Built) << result.error;
        return ReadPacked(Target(), kImage.size());
    }
};

// The index holds what a plain payload holds, entry by entry, and the data decodes to the files.
TEST_F(PackedPipeline, IndexAndDataMatchThePlainPayloadOfTheSameTree) {
    ASSERT_EQ(Build("Setup.exe").outcome, BuildOutcome::Built);
    std::vector<Entry> plain = Entries();
    host_.events.clear();
    Packed packed = BuildPacked();
    ASSERT_EQ(packed.header.EntryCount, plain.size());
    ASSERT_EQ(packed.entries.size(), plain.size());
    uint64_t dataSize = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        const PackedEntry& e = packed.entries[i];
        EXPECT_EQ(std::memcmp(&e.header, &plain[i].header, sizeof(e.header)), 0) << e.name;
        EXPECT_EQ(e.name, plain[i].name);
        uint32_t checksum = e.tail.Checksum;
        EXPECT_EQ(checksum, plain[i].checksum) << e.name;
        bool x86 = e.name == "Setup.exe" || e.name == "lib\\x64.dll";
        EXPECT_EQ(e.tail.Filter, x86 ? payload::kFilterX86 : payload::kFilterNone) << e.name;
        if (x86) {
            EXPECT_TRUE(e.stored == LiblzmaX86(plain[i].data)) << e.name;
            EXPECT_TRUE(e.stored != plain[i].data) << e.name;
            EXPECT_TRUE(X86Decoded(e.stored) == plain[i].data) << e.name;
        } else {
            EXPECT_TRUE(e.stored == plain[i].data) << e.name;
        }
        dataSize += plain[i].data.size();
    }
    EXPECT_EQ(packed.header.DataSize, dataSize);
    EXPECT_GE(packed.header.DictSize, packed.header.IndexSize + packed.header.DataSize);
    std::string said = "packrig: compressed " +
                       std::to_string(packed.header.IndexSize + packed.header.DataSize) + " -> " +
                       std::to_string(packed.header.PackedSize) + " bytes, dictionary ";
    EXPECT_NE(host_.notes.find(said), std::string::npos) << host_.notes;
    EXPECT_FALSE(fs::exists(target_ + ".spill"));
    EXPECT_EQ(host_.events, "busy;idle;end;");
}

TEST_F(PackedPipeline, ReproducibleBuildsGiveTheSameBytesAndTheIdentifierFollowsThem) {
    flags_.SourceDateEpoch = "1700000000";
    BuildPacked();
    std::string first = Target();
    BuildPacked();
    EXPECT_EQ(Target(), first);
    std::string id = first.substr(kImage.size() + 1, 10);
    EXPECT_NE(id, "0000000000");
    Write("lib/notes.txt", std::string(200000, 'n') + "End");
    BuildPacked();
    EXPECT_NE(Target().substr(kImage.size() + 1, 10), id);
}

// A file that changes between the listing and its copy follows the rules of plain builds, and
// the spill file never stays behind.
TEST_F(PackedPipeline, FilesThatChangeDuringTheBuild) {
    flags_.Compress = true;
    host_.afterPump = [&](int pump) {
        if (pump == 3) // after the first stored file
            fs::resize_file(root_ / "src" / "Setup.exe", 10);
    };
    fpackrig::BuildResult shrunk = Build("Setup.exe");
    EXPECT_EQ(shrunk.outcome, BuildOutcome::Failed);
    EXPECT_EQ(shrunk.error, "Read beyond end of file");
    EXPECT_FALSE(fs::exists(target_ + ".spill"));

    Write("Setup.exe", FakePeImage("grows"));
    host_.afterPump = [&](int pump) {
        if (pump == 3)
            std::ofstream(root_ / "src" / "Setup.exe", std::ios::app) << "more";
    };
    host_.pumps = 0;
    Packed packed = BuildPacked();
    ASSERT_EQ(packed.entries.size(), 6u);
    EXPECT_TRUE(X86Decoded(packed.entries.back().stored) == FakePeImage("grows"));
}

// The target and its spill file inside the tree are not stored.
TEST_F(PackedPipeline, TargetInsideTheTreeIsNotStored) {
    flags_.Compress = true;
    ASSERT_EQ(Build("Setup.exe", (root_ / "src" / "aaa.exe").string()).outcome,
              BuildOutcome::Built);
    Packed packed = ReadPacked(Target(), kImage.size());
    for (const PackedEntry& e : packed.entries)
        EXPECT_EQ(e.name.find("aaa"), std::string::npos) << e.name;
    EXPECT_EQ(packed.entries.size(), 6u);
}

TEST(PackedStream, X86ImagesAreRecognisedByTheirHeaders) {
    EXPECT_TRUE(fpackrig::IsX86Image(FakePeImage("")));
    EXPECT_TRUE(fpackrig::IsX86Image(FakePeImage("", 0x8664)));
    EXPECT_FALSE(fpackrig::IsX86Image(FakePeImage("", 0x01C4)));
    std::string farHeader = FakePeImage("");
    farHeader[0x3C] = static_cast<char>(0x7E); // "PE" would lie past the bytes at hand
    EXPECT_FALSE(fpackrig::IsX86Image(farHeader));
    EXPECT_FALSE(fpackrig::IsX86Image(FakePeImage("").substr(0, 0x45)));
    EXPECT_FALSE(fpackrig::IsX86Image("MZ"));
    EXPECT_FALSE(fpackrig::IsX86Image(std::string(0x80, '\0')));
}

TEST(PackedStream, DictionaryCoversTheStreamUpToTheLargestTheRuntimeTakes) {
    EXPECT_EQ(fpackrig::SettingsFor(0).dictSize, 4096u);
    EXPECT_EQ(fpackrig::SettingsFor(5000).dictSize, 8192u);
    EXPECT_EQ(fpackrig::SettingsFor(3u << 20).dictSize, 3u << 20);
    EXPECT_EQ(fpackrig::SettingsFor(uint64_t{1} << 40).dictSize, payload::kMaxDictionarySize);
}

} // namespace

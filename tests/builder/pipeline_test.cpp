// The build pipeline on real trees in a temporary folder, with a host that records what the
// pipeline asks of the window and that changes files between entries to inject faults. Compressed
// payloads are read back with liblzma's decoder.
#include "build_sfx.h"
#include "bytesum.h"
#include "codepage.h"
#include "crc32.h"
#include "exe_name.h"
#include "packed_payload.h"
#include "packed_stream.h"
#include "payload.h"
#include "pe_testdata.h"
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
#include <map>
#include <optional>
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

    // Runs `change` on the tree's file `rel` once the build has stored its first file.
    void ChangeAfterFirstStoredFile(const std::string& rel,
                                    std::function<void(const fs::path&)> change) {
        host_.afterPump = [this, rel, change](int pump) {
            if (pump == 3)
                change(root_ / "src" / rel);
        };
    }

    fpackrig::BuildResult Build(const std::string& exe = "setup.exe", std::string target = "") {
        if (target.empty())
            target = (root_ / "out" / "sfx.exe").string();
        target_ = target;
        prutils::ResourceBytes image{kImage.data(), static_cast<uint32_t>(kImage.size())};
        return fpackrig::BuildSfx((root_ / "src").string(), exe, target, flags_, image, host_);
    }

    // The files beside the target, which no build leaves behind.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const fs::directory_entry& e : fs::directory_iterator(fs::path(target_).parent_path()))
            if (e.path() != fs::path(target_))
                names.push_back(e.path().filename().string());
        return names;
    }

    std::string Target() const {
        std::ifstream in(target_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

    std::string Identifier() { return Target().substr(kImage.size() + 1, 10); }

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

// Every spelling that Windows resolves to the stored file marks its entry; a file that is found
// but stored under no name of that spelling stops the build, naming the entry to use.
TEST_F(Pipeline, ExeFileIsMarkedThroughEverySpellingOfItsPath) {
    Write("tools/Setup.exe", "MZ");
    Write("other/setup.exe", "MZ elsewhere");
    fs::create_directory_symlink("tools", root_ / "src" / "linked");
    struct Case {
        std::string exe;
        BuildOutcome outcome;
        const char* shown; // in the error box
    };
    Write("../other/x.exe", "MZ outside");
    for (const Case& c : {Case{"tools\\Setup.exe", BuildOutcome::Built, ""},
                          Case{"TOOLS\\setup.EXE", BuildOutcome::Built, ""},
                          Case{"tools/Setup.exe", BuildOutcome::Built, ""},
                          Case{"./tools/setup.exe", BuildOutcome::Built, ""},
                          Case{".\\tools\\setup.exe", BuildOutcome::Built, ""},
                          Case{"tools\\\\Setup.exe", BuildOutcome::Built, ""},
                          Case{"tools//Setup.exe", BuildOutcome::Built, ""},
                          Case{"gone\\..\\Tools\\Setup.exe", BuildOutcome::Built, ""},
                          Case{"tools.\\Setup.exe. .", BuildOutcome::Built, ""},
                          Case{"\\tools\\Setup.exe", BuildOutcome::Built, ""},
                          Case{"..\\src\\tools\\Setup.exe", BuildOutcome::Built, ""},
                          Case{"linked/Setup.exe", BuildOutcome::Stopped, "\n\ntools\\Setup.exe"},
                          Case{"../other/x.exe", BuildOutcome::Stopped, "x.exe"},
                          Case{"tools\\Setup.exe\\", BuildOutcome::Rejected, ""},
                          Case{"tools \\Setup.exe", BuildOutcome::Rejected, ""},
                          Case{"tools", BuildOutcome::Rejected, ""}}) {
        fs::remove(root_ / "out" / "sfx.exe");
        ::testing::internal::CaptureStderr();
        fpackrig::BuildResult result = Build(c.exe);
        std::string shown = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(result.outcome, c.outcome) << c.exe << shown;
        if (c.outcome == BuildOutcome::Built) {
            std::vector<Entry> entries = Entries();
            for (const Entry& e : entries)
                EXPECT_EQ(e.header.IsExeFile, e.name == "tools\\Setup.exe" ? 1 : 0) << c.exe;
        } else {
            EXPECT_FALSE(fs::exists(target_)) << c.exe;
        }
        EXPECT_NE(shown.find(c.shown), std::string::npos) << c.exe << shown;
    }
    EXPECT_EQ(fs::directory_iterator(root_ / "out"), fs::directory_iterator()) << "leftovers";
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

// Sets TZ for the life of the object.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (old_)
            setenv("TZ", old_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> old_;
};

// Names are stored in the target code page for the life of the object.
class ScopedCodePage {
  public:
    explicit ScopedCodePage(prutils::CodePage cp) { prutils::SetTargetCodePage(cp); }
    ~ScopedCodePage() { prutils::SetTargetCodePage(prutils::CodePage::Windows1252); }
};

void SetModified(const fs::path& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Windows converts a time with the offset in force now, whatever the file's date: both halves
// of the year move by the same offset.
TEST_F(Pipeline, TimesMoveByTheOffsetInForceNow) {
    ScopedTimeZone berlin("Europe/Berlin");
    Write("setup.exe", "MZ");
    Write("summer.txt", "s");
    Write("winter.txt", "w");
    const time_t summer = 1719835200; // 2024-07-01 12:00:00 UTC
    const time_t winter = 1705320000; // 2024-01-15 12:00:00 UTC
    SetModified(root_ / "src" / "summer.txt", summer);
    SetModified(root_ / "src" / "winter.txt", winter);
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    std::vector<Entry> entries = Entries();
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    long offset = local.tm_gmtoff; // +1 h in winter, +2 h in summer
    uint32_t summerStored = entries.at(1).header.Time, winterStored = entries.at(2).header.Time;
    EXPECT_EQ(summerStored, DosTime(summer + offset));
    EXPECT_EQ(winterStored, DosTime(winter + offset));
}

// With SOURCE_DATE_EPOCH the times are UTC, clamped to the epoch, in every time zone.
TEST_F(Pipeline, ReproducibleTimesAreUtcInEveryTimeZone) {
    Write("setup.exe", "MZ");
    Write("summer.txt", "s");
    Write("winter.txt", "w");
    const time_t summer = 1719835200; // 2024-07-01 12:00:00 UTC
    const time_t winter = 1705320000; // 2024-01-15 12:00:00 UTC
    const time_t epoch = 1710000001;  // 2024-03-09 16:00:01 UTC, between the two
    SetModified(root_ / "src" / "summer.txt", summer);
    SetModified(root_ / "src" / "winter.txt", winter);
    flags_.SourceDateEpoch = std::to_string(epoch);
    for (const char* tz : {"UTC", "Europe/Berlin", "Asia/Tokyo", "America/New_York"}) {
        ScopedTimeZone zone(tz);
        ASSERT_EQ(Build().outcome, BuildOutcome::Built) << tz;
        std::vector<Entry> entries = Entries();
        uint32_t summerStored = entries.at(1).header.Time, winterStored = entries.at(2).header.Time;
        EXPECT_EQ(summerStored, DosTime(epoch)) << tz;
        EXPECT_EQ(winterStored, DosTime(winter)) << tz;
    }
}

TEST(PipelineRules, SourceDateEpochValues) {
    struct Case {
        const char* text;
        std::optional<int64_t> seconds;
    };
    for (Case c : {Case{"0", 0}, Case{"1700000000", 1700000000}, Case{"0000000000001", 1},
                   Case{"000000000000000000000253402300799", 253402300799},
                   Case{"253402300800", std::nullopt}, Case{"99999999999999999999", std::nullopt},
                   Case{"", std::nullopt}, Case{"-1", std::nullopt}, Case{" 1", std::nullopt},
                   Case{"1.5", std::nullopt}, Case{"+1", std::nullopt}})
        EXPECT_EQ(fpackrig::ParseSourceDateEpoch(c.text), c.seconds) << c.text;
}

// Names in the target code page: stored in its bytes, composed first, compared for letter case
// in it, and ordered as NTFS orders them. In UTF-8 every name is stored as it is, and the
// identifier carries the mark that says so.
TEST_F(Pipeline, NamesFollowTheTargetCodePage) {
    Write("setup.exe", "MZ");
    Write("\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt", "Cyrillic"); // файл
    EXPECT_EQ(Build().outcome, BuildOutcome::Stopped);         // not in Windows-1252
    {
        ScopedCodePage cyrillic(prutils::CodePage::Windows1251);
        ASSERT_EQ(Build().outcome, BuildOutcome::Built);
        EXPECT_EQ(Entries().at(1).name, "\xF4\xE0\xE9\xEB.txt");
        EXPECT_EQ(Identifier().substr(0, 2), "00");
    }
    ScopedCodePage utf8(prutils::CodePage::Utf8);
    Write("\xE6\x97\xA5.txt", "Japanese"); // 日.txt
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    EXPECT_EQ(Entries().at(1).name, "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt");
    EXPECT_EQ(Entries().at(2).name, "\xE6\x97\xA5.txt");
    EXPECT_EQ(Identifier().substr(0, 2), "U8");
    Write("\xD0\xA4\xD0\x90\xD0\x99\xD0\x9B.TXT", "upper case"); // ФАЙЛ.TXT
    EXPECT_EQ(Build().outcome, BuildOutcome::Failed);
}

TEST_F(Pipeline, DecomposedNamesAreStoredComposed) {
    Write("setup.exe", "MZ");
    Write("cafe\xCC\x81/re\xCC\x81sume\xCC\x81.txt", "NFD, as from macOS");
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    EXPECT_EQ(Entries().at(0).name, "caf\xE9\\r\xE9sum\xE9.txt");
    Write("caf\xC3\xA9/other.txt", "the same folder, composed");
    fpackrig::BuildResult result = Build(); // Windows would hold one of the two folders
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_EQ(result.error.find("Names are one name in the Windows code page"), 0u) << result.error;
}

TEST_F(Pipeline, EntriesInTheOrderOfNtfs) {
    Write("setup.exe", "MZ");
    for (const char* name :
         {"a\xE2\x82\xAC", "a\xC5\x92", "aZ", "a\xC3\xA9", "a\xC3\x9C", "a\xC3\xBF", "a_"})
        Write(std::string("d/") + name, name);
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    std::string order;
    for (const Entry& e : Entries())
        order += e.name + " ";
    EXPECT_EQ(order, "d\\aZ d\\a_ d\\a\xE9 d\\a\xDC d\\a\x8C d\\a\xFF d\\a\x80 setup.exe ");
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
    ChangeAfterFirstStoredFile("b.dat", [](const fs::path& f) { fs::resize_file(f, 10); });
    fpackrig::BuildResult result = Build("a.exe");
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_EQ(result.error, "Read beyond end of file");
    EXPECT_EQ(host_.events, "busy;idle;");
}

TEST_F(Pipeline, FileThatGrowsIsStoredWithItsListedSize) {
    Write("a.exe", "MZ");
    Write("b.dat", "12345");
    ChangeAfterFirstStoredFile("b.dat",
                               [](const fs::path& f) { std::ofstream(f, std::ios::app) << "678"; });
    ASSERT_EQ(Build("a.exe").outcome, BuildOutcome::Built);
    EXPECT_EQ(Entries().at(1).data, "12345");
}

TEST_F(Pipeline, FileThatDisappearsFailsWithItsMessage) {
    Write("a.exe", "MZ");
    Write("b.dat", "gone soon");
    ChangeAfterFirstStoredFile("b.dat", [](const fs::path& f) { fs::remove(f); });
    fpackrig::BuildResult result = Build("a.exe");
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_EQ(result.error, "File not found");
    EXPECT_EQ(result.errorPath, (root_ / "src" / "b.dat").string());
}

TEST_F(Pipeline, NamesWindowsCannotHoldFailTheBuild) {
    Write("setup.exe", "MZ");
    for (std::string bad :
         {"a:b.txt", "trailing.", "trailing ", "CON.txt", "lpt1", "q?", "back\\slash"}) {
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
    EXPECT_FALSE(fs::exists(target_));
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
}

// A target without a folder goes to the current folder.
TEST_F(Pipeline, BareTargetNameGoesToTheCurrentFolder) {
    Write("setup.exe", "MZ");
    fs::path before = fs::current_path();
    fs::create_directories(root_ / "work");
    fs::current_path(root_ / "work");
    fpackrig::BuildResult result = Build("setup.exe", "plain.exe");
    fs::current_path(before);
    ASSERT_EQ(result.outcome, BuildOutcome::Built) << result.error;
    target_ = (root_ / "work" / "plain.exe").string();
    EXPECT_EQ(Entries().size(), 1u);
}

// A failed build leaves the target as it was, absent or byte for byte the old file, and no
// partial file beside it; a complete one replaces it.
TEST_F(Pipeline, FailedBuildsLeaveTheTargetAsItWas) {
    Write("setup.exe", "MZ");
    struct Case {
        const char* fault;
        std::function<void()> make, undo;
    };
    const fs::path src = root_ / "src";
    for (const Case& c : {Case{"a name Windows cannot create", [&] { Write("aux.txt", "x"); },
                               [&] { fs::remove(src / "aux.txt"); }},
                          Case{"a file that vanishes",
                               [&] {
                                   Write("zz.dat", "soon gone");
                                   host_.afterPump = [&, first = host_.pumps](int pump) {
                                       if (pump == first + 3) // after the first stored file
                                           fs::remove(src / "zz.dat");
                                   };
                               },
                               [&] { host_.afterPump = nullptr; }},
                          Case{"a stored name for the executable file that is not its own",
                               [&] { fs::create_directory_symlink(".", src / "self"); },
                               [&] { fs::remove(src / "self"); }}}) {
        for (bool existing : {false, true}) {
            fs::remove_all(root_ / "out");
            std::string old;
            if (existing) {
                ASSERT_EQ(Build().outcome, BuildOutcome::Built);
                std::ifstream in(target_, std::ios::binary);
                old.assign(std::istreambuf_iterator<char>(in), {});
            }
            c.make();
            std::string exe =
                std::string(c.fault).starts_with("a stored") ? "self/setup.exe" : "setup.exe";
            ::testing::internal::CaptureStderr();
            BuildOutcome outcome = Build(exe).outcome;
            ::testing::internal::GetCapturedStderr();
            c.undo();
            EXPECT_NE(outcome, BuildOutcome::Built) << c.fault;
            std::vector<std::string> left;
            for (const fs::directory_entry& e : fs::directory_iterator(root_ / "out"))
                left.push_back(e.path().filename().string());
            EXPECT_EQ(left,
                      existing ? std::vector<std::string>{"sfx.exe"} : std::vector<std::string>{})
                << c.fault;
            if (existing) {
                std::ifstream in(target_, std::ios::binary);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), old) << c.fault;
            }
        }
    }
}

// The replacement keeps the old target's permissions and is written where a link points; a
// target its owner may not write is refused as before.
TEST_F(Pipeline, ReplacedTargetKeepsItsModeAndLinks) {
    Write("setup.exe", "MZ");
    ASSERT_EQ(Build().outcome, BuildOutcome::Built);
    fs::permissions(target_, fs::perms::owner_all | fs::perms::group_read);
    fs::create_symlink("sfx.exe", root_ / "out" / "link.exe");
    ASSERT_EQ(Build("setup.exe", (root_ / "out" / "link.exe").string()).outcome,
              BuildOutcome::Built);
    EXPECT_TRUE(fs::is_symlink(root_ / "out" / "link.exe"));
    EXPECT_EQ(fs::status(root_ / "out" / "sfx.exe").permissions(),
              fs::perms::owner_all | fs::perms::group_read);
    if (geteuid() != 0) {
        fs::permissions(target_, fs::perms::owner_read);
        fpackrig::BuildResult refused = Build();
        EXPECT_EQ(refused.outcome, BuildOutcome::Failed);
        EXPECT_EQ(refused.error, "File access denied");
    }
}

// The stored name that a spelling of the executable file denotes, as Windows resolves the path
// inside the source directory; nothing for a path that leaves it.
TEST(PipelineRules, ExeFileRelativeName) {
    struct Case {
        const char* source;
        const char* exe;
        std::optional<std::string> name;
    };
    for (const Case& c :
         {Case{"/w/src/", "bin/setup.exe", "bin\\setup.exe"},
          Case{"/w/src/", ".\\bin\\.\\setup.exe", "bin\\setup.exe"},
          Case{"/w/src/", "x\\..\\bin//setup.exe", "bin\\setup.exe"},
          Case{"/w/src/", "bin.\\setup.exe . .", "bin\\setup.exe"},
          Case{"/w/src/", "bin..\\setup.exe", "bin..\\setup.exe"},
          Case{"/w/src/", "\\setup.exe", "setup.exe"},
          Case{"/w/src/", "../SRC/setup.exe", "setup.exe"},
          Case{"/w/./src//", "../src/a/../setup.exe", "setup.exe"},
          Case{"C:\\w\\src\\", "..\\Src\\bin\\setup.exe", "bin\\setup.exe"},
          Case{"/w/src/", "../other/setup.exe", std::nullopt},
          Case{"/w/src/", "../../w/src/setup.exe", "setup.exe"},
          Case{"/w/src/", "a/../..", std::nullopt}, Case{"/w/src/", "..", std::nullopt},
          Case{"/w/src/", ".", std::nullopt}, Case{"src/", "../../setup.exe", std::nullopt}})
        EXPECT_EQ(fpackrig::ExeFileRelativeName(c.source, c.exe), c.name)
            << c.source << " " << c.exe;
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

// The bytes that an entry's filter has the x86 converter work on, read from the file itself.
payload::X86Span ConvertedSpan(const std::string& data, uint8_t filter) {
    return payload::ConvertedSpan(filter, reinterpret_cast<const uint8_t*>(data.data()),
                                  static_cast<uint32_t>(data.size()));
}

// `data` with the bytes of `span` as liblzma's x86 filter converts them alone.
std::string LiblzmaX86Span(std::string data, payload::X86Span span) {
    const size_t length = span.end - span.begin;
    return data.replace(span.begin, length, LiblzmaX86(data.substr(span.begin, length)));
}

std::string X86Decoded(std::string stored, payload::X86Span span) {
    payload::X86State state;
    payload::X86ConvertSpan(state, span, 0, reinterpret_cast<uint8_t*>(stored.data()),
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
    EXPECT_EQ(pos, uint64_t{h.IndexSize});
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
        // Code from just before the first 1 MiB read chunk's end to past the second's.
        Write("Setup.exe", petest::Headers({{0x200, 0xFFDF0, petest::kData},
                                            {0xFFFF0, 0x140013, petest::kCode}}) +
                               CallHeavyCode(2'500'000));
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

// The index holds what a plain payload holds, entry for entry, grouped by extension and file
// name, and the data decodes to the files.
TEST_F(PackedPipeline, IndexAndDataMatchThePlainPayloadOfTheSameTree) {
    Write("b/COPYRIGHT", "second in the walk");
    Write("a/copyright", "first in the walk");
    ASSERT_EQ(Build("Setup.exe").outcome, BuildOutcome::Built);
    std::map<std::string, Entry> plain;
    for (const Entry& entry : Entries())
        plain[entry.name] = entry;
    host_.events.clear();
    Packed packed = BuildPacked();
    ASSERT_EQ(uint32_t{packed.header.EntryCount}, plain.size());
    std::vector<std::string> order;
    for (const PackedEntry& e : packed.entries)
        order.push_back(e.name);
    EXPECT_EQ(order, (std::vector<std::string>{"a\\copyright", "b\\COPYRIGHT", "empty\\zero.bin",
                                               "lib\\arm.dll", "lib\\x64.dll", "Setup.exe",
                                               "MZ.txt", "lib\\notes.txt"}));
    uint64_t dataSize = 0;
    for (const PackedEntry& e : packed.entries) {
        ASSERT_EQ(plain.count(e.name), 1u) << e.name;
        const Entry& p = plain[e.name];
        EXPECT_EQ(std::memcmp(&e.header, &p.header, sizeof(e.header)), 0) << e.name;
        uint32_t checksum = e.tail.Checksum;
        EXPECT_EQ(checksum, p.checksum) << e.name;
        const uint8_t filter = e.name == "Setup.exe"      ? payload::kFilterX86Code
                               : e.name == "lib\\x64.dll" ? payload::kFilterX86
                                                          : payload::kFilterNone;
        EXPECT_EQ(e.tail.Filter, filter) << e.name;
        if (filter != payload::kFilterNone) {
            const payload::X86Span span = ConvertedSpan(p.data, filter);
            EXPECT_EQ(span.end - span.begin,
                      filter == payload::kFilterX86 ? p.data.size() : 0x140013u);
            EXPECT_TRUE(e.stored == LiblzmaX86Span(p.data, span)) << e.name;
            EXPECT_TRUE(e.stored != p.data) << e.name;
            EXPECT_TRUE(X86Decoded(e.stored, span) == p.data) << e.name;
        } else {
            EXPECT_TRUE(e.stored == p.data) << e.name;
        }
        dataSize += p.data.size();
    }
    EXPECT_EQ(uint64_t{packed.header.DataSize}, dataSize);
    EXPECT_GE(uint32_t{packed.header.DictSize}, packed.header.IndexSize + packed.header.DataSize);
    std::string said = "packrig: compressed " +
                       std::to_string(packed.header.IndexSize + packed.header.DataSize) + " -> " +
                       std::to_string(packed.header.PackedSize) + " bytes, dictionary ";
    EXPECT_NE(host_.notes.find(said), std::string::npos) << host_.notes;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
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
    ChangeAfterFirstStoredFile("Setup.exe", [](const fs::path& f) { fs::resize_file(f, 10); });
    fpackrig::BuildResult shrunk = Build("Setup.exe");
    EXPECT_EQ(shrunk.outcome, BuildOutcome::Failed);
    EXPECT_EQ(shrunk.error, "Read beyond end of file");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    Write("Setup.exe", FakePeImage("grows"));
    ChangeAfterFirstStoredFile(
        "Setup.exe", [](const fs::path& f) { std::ofstream(f, std::ios::app) << "more"; });
    host_.pumps = 0;
    Packed packed = BuildPacked();
    ASSERT_EQ(packed.entries.size(), 6u);
    ASSERT_EQ(packed.entries[3].name, "Setup.exe");
    const PackedEntry& grown = packed.entries[3];
    EXPECT_TRUE(X86Decoded(grown.stored, ConvertedSpan(grown.stored, grown.tail.Filter)) ==
                FakePeImage("grows"));
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

// An index the runtime would refuse stops the build at the file that would pass the limit, and
// leaves the target as it was; one record short of it builds. The names are as long as they
// may be (241 characters), so that about 255,000 empty files reach the limit.
TEST_F(PackedPipeline, TreesWhoseIndexTheRuntimeWouldRefuseFailTheBuild) {
    const std::string folder(100, 'd');
    fs::create_directories(root_ / "src" / folder);
    const uint64_t record = sizeof(payload::TEntryHeader) + 241 + sizeof(payload::TPackedEntryTail);
    ASSERT_EQ(BuildPacked().entries.size(), 6u);
    const uint64_t fixture = ReadPacked(Target(), kImage.size()).header.IndexSize;
    const uint64_t fitting = (payload::kMaxIndexSize - fixture) / record;
    auto nameOf = [&](uint64_t i) {
        std::string n = std::to_string(i);
        return folder + "/" + std::string(140 - n.size(), 'f') + n;
    };
    for (uint64_t i = 0; i < fitting; ++i)
        std::ofstream(root_ / "src" / nameOf(i));
    Packed full = BuildPacked();
    EXPECT_EQ(full.entries.size(), 6 + fitting);
    EXPECT_LE(uint64_t{full.header.IndexSize}, payload::kMaxIndexSize);
    const std::string built = Target();

    std::ofstream(root_ / "src" / nameOf(fitting));
    fpackrig::BuildResult result = Build("Setup.exe");
    EXPECT_EQ(result.outcome, BuildOutcome::Failed);
    EXPECT_NE(result.error.find("would exceed 64 MiB"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(folder + "/fff"), std::string::npos) << result.error;
    EXPECT_TRUE(Target() == built);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
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

// Extensions group before file names, letters in either case alike; a leading dot starts a
// name, not an extension, and folders play no part.
TEST(PackedStream, EntriesGroupByExtensionThenFileName) {
    using fpackrig::StreamGroupKey;
    using namespace std::string_literals;
    EXPECT_EQ(StreamGroupKey("Docs\\Read.Me.TXT"), "txt\0read.me.txt"s);
    EXPECT_EQ(StreamGroupKey("a\\copyright"), StreamGroupKey("B\\COPYRIGHT"));
    EXPECT_EQ(StreamGroupKey(".profile"), "\0.profile"s);
    EXPECT_EQ(StreamGroupKey("name."), "\0name."s);
    EXPECT_EQ(StreamGroupKey("dir.d\\file"), "\0file"s);
    EXPECT_EQ(StreamGroupKey("\xC9T\xC9.DLL"), "dll\0\xC9t\xC9.dll"s);
    EXPECT_LT(StreamGroupKey("z.dll"), StreamGroupKey("a.exe"));
    EXPECT_LT(StreamGroupKey("z"), StreamGroupKey("a.dll"));
}

TEST(PackedStream, DictionaryCoversTheStreamUpToTheLargestTheRuntimeTakes) {
    EXPECT_EQ(fpackrig::SettingsFor(0).dictSize, 4096u);
    EXPECT_EQ(fpackrig::SettingsFor(5000).dictSize, 8192u);
    EXPECT_EQ(fpackrig::SettingsFor(3u << 20).dictSize, 3u << 20);
    EXPECT_EQ(fpackrig::SettingsFor(uint64_t{1} << 40).dictSize, payload::kMaxDictionarySize);
    EXPECT_EQ(fpackrig::SettingsFor(3u << 20).encoderDictSize, 12u << 20);
    EXPECT_EQ(fpackrig::SettingsFor(20u << 20).encoderDictSize, payload::kMaxDictionarySize);
}

} // namespace

// The payload walk on in-memory files: finding the image end, the checking pass and unpacking.
#include <gtest/gtest.h>

#include <memory>

#include "archive.h"
#include "memory_host.h"

using sfx::Outcome;
using sfx::RunState;
using sfxtest::ArchiveBuilder;
using sfxtest::MemoryHost;

namespace {

constexpr uint32_t kBadFormat = 193;

// Runs the steps of a run that read the payload, as the program does, up to unpacking.
struct Walk {
    MemoryHost host;
    std::unique_ptr<RunState> state = std::make_unique<RunState>();
    std::unique_ptr<uint8_t[]> buffer = std::make_unique<uint8_t[]>(payload::kChunkSize);

    explicit Walk(std::string archive) { host.archive = std::move(archive); }

    Outcome Check() {
        Outcome r = sfxtest::ReadUpToIdentifier(host, *state);
        if (r.code == 0)
            r = sfx::CheckPayload(host, *state);
        if (r.code == 0)
            sfx::SetWorkDir(*state, "C:\\TEMP");
        return r;
    }
    Outcome Unpack() {
        Outcome r = Check();
        if (r.code != 0)
            return r;
        host.Seek(state->imageEnd + 11);
        return sfx::UnpackEntries(host, *state, buffer.get());
    }
};

TEST(LocatePayload, FindsTheEndOfTheLastSectionWithRawData) {
    MemoryHost host;
    host.archive = ArchiveBuilder(0x1200).Build();
    int64_t end = -1;
    EXPECT_EQ(sfx::LocatePayload(host, end).code, 0u);
    EXPECT_EQ(end, 0x1200);
}

TEST(LocatePayload, ReadsOnlyTheLowHalfOfThePeOffset) {
    MemoryHost host;
    host.archive = ArchiveBuilder().Build();
    host.archive[0x3E] = 1; // high half of e_lfanew: ignored
    int64_t end = -1;
    EXPECT_EQ(sfx::LocatePayload(host, end).code, 0u);
    EXPECT_EQ(end, 0x400);
}

TEST(LocatePayload, NoPeImageGivesZeroAndShortFilesAreMalformed) {
    MemoryHost host;
    host.archive = ArchiveBuilder().Build();
    host.archive[0x81] = 'X'; // "PX\0\0"
    int64_t end = -1;
    EXPECT_EQ(sfx::LocatePayload(host, end).code, 0u);
    EXPECT_EQ(end, 0);

    for (size_t cut : {size_t{0}, size_t{1}, size_t{0x3D}, size_t{0x90}, size_t{0x1A0}}) {
        host.archive = ArchiveBuilder().Build().substr(0, cut);
        Outcome r = sfx::LocatePayload(host, end);
        EXPECT_EQ(r.code, kBadFormat) << "cut at " << cut;
    }
}

TEST(CheckPayload, AddsUpSizesAndIgnoresDataAfterTheTerminator) {
    Walk run(ArchiveBuilder().Entry("a", "12345").Entry("b\\c", std::string(70000, 'x')).Build() +
             "trailing bytes");
    ASSERT_EQ(run.Check().code, 0u);
    EXPECT_EQ(run.state->totalSize, 70005);
    EXPECT_STREQ(run.state->workDir, "C:\\TEMP\\~sfx0012AB34CD\\");
    EXPECT_EQ(run.host.pumps, 2);
}

TEST(CheckPayload, RefusesPayloadsWithoutDataOrWithoutTerminator) {
    EXPECT_EQ(Walk(ArchiveBuilder().Build()).Check().code, kBadFormat);
    EXPECT_EQ(Walk(ArchiveBuilder().Entry("empty", "").Build()).Check().code, kBadFormat);
    EXPECT_EQ(Walk(ArchiveBuilder().Entry("a", "1").Build(false)).Check().code, kBadFormat);
    // The image alone, or with the identifier and nothing after it.
    EXPECT_EQ(Walk(ArchiveBuilder().ImageOnly()).Check().code, kBadFormat);
    EXPECT_EQ(Walk(ArchiveBuilder().ImageOnly() + std::string(11, '0')).Check().code, kBadFormat);
}

TEST(CheckPayload, EveryCutInsideThePayloadIsMalformedNotSilent) {
    std::string full = ArchiveBuilder().Entry("dir\\a.txt", "hello").Entry("b", "xy", 1).Build();
    for (size_t cut = 0x400 + 12; cut < full.size(); ++cut) {
        Walk run(full.substr(0, cut));
        EXPECT_EQ(run.Check().code, kBadFormat) << "cut at " << cut;
    }
}

TEST(CheckPayload, TerminatorIgnoresTheExeFlag) {
    Walk run(ArchiveBuilder().Entry("a", "1", 1).RawHeader(1, 0, 0, 0, 0).Build(false) + "junk");
    EXPECT_EQ(run.Check().code, 0u);
}

TEST(CheckPayload, RefusesNegativeAndOversizedFieldsBeforeUnpacking) {
    for (auto bad : {ArchiveBuilder().Entry("a", "1").RawHeader(0, -30, 5, 1, 0),
                     ArchiveBuilder().Entry("a", "1").RawHeader(0, 1, -40, 1, 0),
                     ArchiveBuilder().RawHeader(0, 5000, 1, 1, 0).Raw(std::string(5010, 'n'))}) {
        Walk run(bad.Build());
        EXPECT_EQ(run.Unpack().code, kBadFormat);
        EXPECT_TRUE(run.host.files.empty());
    }
}

TEST(CheckPayload, ReadFailuresCarryTheSystemCode) {
    Walk run(ArchiveBuilder().Entry("a", "1").Build());
    run.host.failReadsFrom = 0x400 + 11;
    EXPECT_EQ(run.Check().code, 23u);
}

TEST(CheckPayload, LongIdentifierLengthIsReadAsTen) {
    Walk run(ArchiveBuilder().Id("00ABCDEF01", 200).Entry("a", "1", 1).Build());
    ASSERT_EQ(run.Check().code, 0u);
    EXPECT_STREQ(run.state->workDir, "C:\\TEMP\\~sfx00ABCDEF01\\");
}

TEST(UnpackEntries, RestoresContentsTimeAttributesAndLaunchPath) {
    Walk run(ArchiveBuilder()
                 .Entry("setup.exe", "MZ...", 1, 0x11112222, 0x20)
                 .Entry("Docs\\Sub\\Readme.txt", "read me", 0, 0x33334444, 0x07)
                 .Entry("empty.dat", "", 0, 0x55556666, 0x01)
                 .Build());
    ASSERT_EQ(run.Unpack().code, 0u);
    const std::string dir = "C:\\TEMP\\~sfx0012AB34CD\\";
    auto& files = run.host.files;
    EXPECT_EQ(files[dir + "setup.exe"].data, "MZ...");
    EXPECT_EQ(files[dir + "Docs\\Sub\\Readme.txt"].data, "read me");
    EXPECT_EQ(files[dir + "Docs\\Sub\\Readme.txt"].time, 0x33334444u);
    EXPECT_EQ(files[dir + "Docs\\Sub\\Readme.txt"].attr, 0x07u);
    EXPECT_TRUE(files[dir + "empty.dat"].closed);
    EXPECT_EQ(files[dir + "empty.dat"].attr, 0x01u);
    EXPECT_STREQ(run.state->launchPath, (dir + "setup.exe").c_str());
    EXPECT_EQ(run.state->doneSize, 12);
    EXPECT_EQ(run.host.unpacked,
              (std::vector<std::string>{dir + "setup.exe", dir + "Docs\\Sub\\Readme.txt",
                                        dir + "empty.dat"}));
}

TEST(UnpackEntries, CreatesFoldersInsideWorkDirOuterFirstThenTheFileThenAttributes) {
    Walk run(ArchiveBuilder().Entry("a\\b\\c.txt", "x", 1).Build());
    ASSERT_EQ(run.Unpack().code, 0u);
    const std::string dir = "C:\\TEMP\\~sfx0012AB34CD";
    EXPECT_EQ(run.host.events,
              (std::vector<std::string>{"mkdir " + dir + "\\a", "mkdir " + dir + "\\a\\b",
                                        "create " + dir + "\\a\\b\\c.txt",
                                        "attr " + dir + "\\a\\b\\c.txt"}));
}

TEST(UnpackEntries, CreatesEachRunOfFoldersOnlyForItsFirstFile) {
    Walk run(ArchiveBuilder()
                 .Entry("a\\1", "x", 1)
                 .Entry("a\\2", "y")
                 .Entry("b\\3", "z")
                 .Entry("a\\4", "w")
                 .Build());
    ASSERT_EQ(run.Unpack().code, 0u);
    int mkdirs = 0;
    for (const std::string& e : run.host.events)
        mkdirs += e.rfind("mkdir ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(mkdirs, 3); // the entry's folder (WorkDir exists), for a, b and a again
    EXPECT_EQ(run.host.files.size(), 4u);
}

TEST(UnpackEntries, CopiesInChunksAndRefreshesOncePerChunk) {
    for (auto [size, chunks] : {std::pair{0, 0}, {1048576, 1}, {1048577, 2}, {3000000, 3}}) {
        Walk run(ArchiveBuilder().Entry("f", std::string(size, 'z'), 1).Entry("g", "1").Build());
        ASSERT_EQ(run.Unpack().code, 0u);
        EXPECT_EQ(run.host.progressCalls, chunks + 1) << size;
        EXPECT_EQ(run.host.files["C:\\TEMP\\~sfx0012AB34CD\\f"].data.size(), size_t(size));
    }
}

// The program started is the one file written under its name: a second entry of that name is
// refused as a damaged payload before anything is written over it, and the program is held.
TEST(UnpackEntries, LaterMarkedEntryWinsAndASecondEntryOfANameIsRefused) {
    Walk run(ArchiveBuilder().Entry("a.exe", "1", 1).Entry("b.bat", "2", 1).Build());
    ASSERT_EQ(run.Unpack().code, 0u);
    EXPECT_STREQ(run.state->launchPath, "C:\\TEMP\\~sfx0012AB34CD\\b.bat");
    EXPECT_EQ(run.host.held, (std::vector<std::string>{"C:\\TEMP\\~sfx0012AB34CD\\a.exe",
                                                       "C:\\TEMP\\~sfx0012AB34CD\\b.bat"}));

    Walk twice(ArchiveBuilder().Entry("b.bat", "2", 1).Entry("b.bat", "3").Build());
    Outcome r = twice.Unpack();
    EXPECT_EQ(r.code, kBadFormat);
    EXPECT_EQ(r.subject, sfx::Subject::OwnPath);
    EXPECT_EQ(twice.host.files["C:\\TEMP\\~sfx0012AB34CD\\b.bat"].data, "2");
}

TEST(UnpackEntries, BadChecksumStopsAfterTheDataIsWritten) {
    std::string archive = ArchiveBuilder().Entry("a", "good").Entry("b", "data", 1).Build();
    archive[archive.size() - 17 - 4 - 2] ^= 0x40; // a data byte of the second entry
    Walk run(archive);
    Outcome r = run.Unpack();
    EXPECT_EQ(r.code, kBadFormat);
    EXPECT_EQ(r.subject, sfx::Subject::OwnPath);
    auto& b = run.host.files["C:\\TEMP\\~sfx0012AB34CD\\b"];
    EXPECT_EQ(b.data.size(), 4u);
    EXPECT_FALSE(b.closed); // neither time nor attributes
    EXPECT_EQ(run.host.unpacked.size(), 2u);
}

TEST(UnpackEntries, RefusesNamesThatLeaveTheWorkingFolder) {
    for (const char* name : {"..\\evil.txt", "a\\..\\..\\evil", "C:\\evil", "\\evil", "a:b",
                             "../evil", "a\\. .\\evil"}) {
        Walk run(ArchiveBuilder().Entry("ok.txt", "1", 1).Entry(name, "2").Build());
        EXPECT_EQ(run.Unpack().code, kBadFormat) << name;
        EXPECT_EQ(run.host.files.size(), 1u) << name;
        EXPECT_EQ(run.host.unpacked.size(), 1u) << name;
    }
}

TEST(UnpackEntries, FailuresNameTheEntryOrTheOwnFile) {
    Walk create(ArchiveBuilder().Entry("a", "1").Entry("locked", "2", 1).Build());
    create.host.createFailsFor = "C:\\TEMP\\~sfx0012AB34CD\\locked";
    Outcome r = create.Unpack();
    EXPECT_EQ(r.code, 5u);
    EXPECT_EQ(r.subject, sfx::Subject::EntryPath);
    EXPECT_STREQ(create.state->fileName, "C:\\TEMP\\~sfx0012AB34CD\\locked");
    EXPECT_EQ(create.host.unpacked.size(), 2u); // listed before its creation failed

    Walk write(ArchiveBuilder().Entry("a", "1", 1).Build());
    write.host.failWriteCode = 112;
    r = write.Unpack();
    EXPECT_EQ(r.code, 112u);
    EXPECT_EQ(r.subject, sfx::Subject::EntryPath);

    Walk read(ArchiveBuilder().Entry("a", "1", 1).Build());
    ASSERT_EQ(read.Check().code, 0u);
    read.host.failReadsFrom = 0x400 + 11;
    read.host.Seek(0x400 + 11);
    r = sfx::UnpackEntries(read.host, *read.state, read.buffer.get());
    EXPECT_EQ(r.code, 23u);
    EXPECT_EQ(r.subject, sfx::Subject::OwnPath);
}

} // namespace

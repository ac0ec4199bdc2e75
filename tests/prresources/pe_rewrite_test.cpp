// The PE resource writer on real executables: rewritten images keep every resource, stay
// well-formed (sections, directories, sizes, checksum) and end at their last section's data.
#include "pe_rewrite.h"
#include "test_files.h"

namespace prresources {
namespace {

using namespace testing;
using pe::PeImage;

uint32_t OptionalField(const PeImage& image, size_t offset) {
    return *pe::ReadAt<uint32_t>(image.bytes, image.optionalHeaderOffset + offset);
}

// Checks what the loader and the runtime module rely on in a rewritten image, which ends at its
// last section's raw data unless the original carried `trailing` bytes behind it.
void ExpectWellFormed(std::span<const uint8_t> bytes, uint64_t trailing = 0) {
    auto image = pe::ParsePeImage(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(pe::ImageEnd(*image) + trailing, bytes.size());
    std::vector<pe::SectionHeader> sections = image->sections;
    std::sort(sections.begin(), sections.end(),
              [](auto& a, auto& b) { return a.VirtualAddress < b.VirtualAddress; });
    uint64_t expectedVa = sections.front().VirtualAddress;
    for (const auto& section : sections) {
        EXPECT_EQ(section.VirtualAddress, expectedVa) << "sections must follow without gaps";
        EXPECT_EQ(section.PointerToRawData % image->fileAlignment, 0u);
        EXPECT_LE(pe::RawEnd(section), bytes.size());
        uint64_t extent = std::max(section.VirtualSize, section.SizeOfRawData);
        expectedVa = pe::AlignUp(section.VirtualAddress + extent, image->sectionAlignment);
    }
    EXPECT_EQ(OptionalField(*image, pe::kOptSizeOfImage), expectedVa);
    auto resources = image->Directory(pe::kDirResource);
    auto index = image->SectionOf(resources.VirtualAddress);
    ASSERT_TRUE(index);
    EXPECT_EQ(image->sections[*index].VirtualAddress, resources.VirtualAddress);
    uint32_t checksum = OptionalField(*image, pe::kOptCheckSum);
    if (checksum != 0) {
        EXPECT_EQ(checksum, ImageChecksum(bytes, image->optionalHeaderOffset + pe::kOptCheckSum));
    }
}

ResourceTable TableOf(std::span<const uint8_t> bytes) {
    auto image = pe::ParsePeImage(bytes);
    EXPECT_TRUE(image);
    auto table = image ? ReadResources(*image) : std::nullopt;
    EXPECT_TRUE(table);
    return table.value_or(ResourceTable{});
}

// The bytes that a directory names, found through the section table.
std::vector<uint8_t> DirectoryBytes(std::span<const uint8_t> bytes, uint32_t index) {
    auto image = *pe::ParsePeImage(bytes);
    auto directory = image.Directory(index);
    auto offset = image.RvaToOffset(directory.VirtualAddress, directory.Size);
    EXPECT_TRUE(offset);
    return {bytes.begin() + static_cast<ptrdiff_t>(offset.value_or(0)),
            bytes.begin() + static_cast<ptrdiff_t>(offset.value_or(0) + directory.Size)};
}

TEST(PeRewrite, RewritesRealProgramsWithoutLosingResources) {
    for (const char* name : {"notepad.exe", "regedit.exe", "winemine.exe", "taskmgr.exe"}) {
        SCOPED_TRACE(name);
        auto bytes = ReadBytes(WineProgram(name));
        if (bytes.empty()) {
            GTEST_SKIP() << "wine's programs are not installed";
        }
        ResourceTable table = TableOf(bytes);
        ASSERT_FALSE(table.empty());
        auto rewritten = ReplaceResources(bytes, table);
        ASSERT_TRUE(rewritten);
        ExpectWellFormed(*rewritten, bytes.size() - pe::ImageEnd(*pe::ParsePeImage(bytes)));
        EXPECT_EQ(TableOf(*rewritten), table);
    }
}

// The runtime module has .reloc behind .rsrc: growing and shrinking the resources moves it in
// the file and in memory, with the base-relocation directory following it.
TEST(PeRewrite, MovesRelocationsBehindTheResourceSection) {
    auto bytes = ReadBytes(WinBin("sfxhead.exe"));
    ASSERT_FALSE(bytes.empty());
    auto before = *pe::ParsePeImage(bytes);
    ASSERT_EQ(std::string(before.sections.back().Name), ".reloc");
    auto relocations = DirectoryBytes(bytes, pe::kDirBaseReloc);

    ResourceTable grown = TableOf(bytes);
    grown[ResourceKey::Id(10)][ResourceKey::Text(u"BIG")][0x409].bytes.assign(200000, 0x5A);
    auto large = ReplaceResources(bytes, grown);
    ASSERT_TRUE(large);
    ExpectWellFormed(*large);
    EXPECT_EQ(TableOf(*large), grown);
    EXPECT_EQ(DirectoryBytes(*large, pe::kDirBaseReloc), relocations);
    auto after = *pe::ParsePeImage(*large);
    EXPECT_GT(after.sections.back().VirtualAddress, before.sections.back().VirtualAddress);
    size_t rsrc = *before.SectionOf(before.Directory(pe::kDirResource).VirtualAddress);
    EXPECT_EQ(OptionalField(after, pe::kOptSizeOfInitializedData) -
                  OptionalField(before, pe::kOptSizeOfInitializedData),
              after.sections[rsrc].SizeOfRawData - before.sections[rsrc].SizeOfRawData);

    auto small = ReplaceResources(*large, ResourceTable{});
    ASSERT_TRUE(small);
    ExpectWellFormed(*small);
    EXPECT_TRUE(TableOf(*small).empty());
    EXPECT_EQ(DirectoryBytes(*small, pe::kDirBaseReloc), relocations);
    EXPECT_EQ(pe::ParsePeImage(*small)->sections.back().VirtualAddress,
              before.sections.back().VirtualAddress);
}

// A section behind the resources that the program refers to cannot get a new address: the
// writer refuses to grow past it, but may still shrink, leaving the section where it is.
TEST(PeRewrite, KeepsReferencedSectionsInPlace) {
    auto bytes = ReadBytes(WinBin("sfxhead.exe"));
    ASSERT_FALSE(bytes.empty());
    auto image = *pe::ParsePeImage(bytes);
    uint32_t relocVa = image.sections.back().VirtualAddress;
    pe::WriteAt(std::span(bytes), image.optionalHeaderOffset + pe::kOptAddressOfEntryPoint,
                relocVa);

    ResourceTable grown = TableOf(bytes);
    grown[ResourceKey::Id(10)][ResourceKey::Id(1)][0].bytes.assign(20000, 1);
    EXPECT_FALSE(ReplaceResources(bytes, grown));

    auto small = ReplaceResources(bytes, ResourceTable{});
    ASSERT_TRUE(small);
    ExpectWellFormed(*small);
    EXPECT_EQ(pe::ParsePeImage(*small)->sections.back().VirtualAddress, relocVa);
}

// Some resource updaters rewrite the section within its raw size but leave its virtual size and
// the directory's size as they were. The loader maps the whole aligned section, so the resources
// past the stale virtual size are there; data past the raw size is not.
TEST(PeRewrite, ReadsResourcesPastAStaleVirtualSize) {
    auto bytes = ReadBytes(WinBin("sfxhead.exe"));
    ASSERT_FALSE(bytes.empty());
    ResourceTable table = TableOf(bytes);
    auto image = *pe::ParsePeImage(bytes);
    auto index = *image.SectionOf(image.Directory(pe::kDirResource).VirtualAddress);
    uint64_t header = image.sectionTableOffset + index * 40;
    uint32_t rawSize = image.sections[index].SizeOfRawData;
    ASSERT_LT(rawSize, image.sectionAlignment);

    auto stale = bytes;
    pe::WriteAt(std::span(stale), header + offsetof(pe::SectionHeader, VirtualSize), 16u);
    EXPECT_EQ(TableOf(stale), table);
    auto rewritten = ReplaceResources(stale, table);
    ASSERT_TRUE(rewritten);
    ExpectWellFormed(*rewritten);
    EXPECT_EQ(TableOf(*rewritten), table);

    auto cut = bytes;
    pe::WriteAt(std::span(cut), header + offsetof(pe::SectionHeader, SizeOfRawData), 32u);
    auto cutImage = pe::ParsePeImage(cut);
    ASSERT_TRUE(cutImage);
    EXPECT_FALSE(ReadResources(*cutImage));
}

// Growing the resources moves the sections behind them in memory. A section listed first but
// placed at the top of the 32-bit address space would wrap around to a low address and cover the
// new resources; the writer refuses such an image. The fuzzer found it with 0xFFFFFF00.
TEST(PeRewrite, RefusesToMoveSectionsPastTheAddressSpace) {
    auto program = ReadBytes(WinBin("sfxhead.exe"));
    ASSERT_FALSE(program.empty());
    auto image = *pe::ParsePeImage(program);
    pe::WriteAt(std::span(program),
                image.sectionTableOffset + offsetof(pe::SectionHeader, VirtualAddress),
                uint32_t{0xFFFFF000});

    auto fuzzed = ReadBytes(std::string(PRRES_SEEDS) + "/prres-rewrite-mismatch.bin");
    ASSERT_FALSE(fuzzed.empty());
    for (const auto* bytes : {&program, &fuzzed}) {
        ResourceTable grown = TableOf(*bytes);
        grown[ResourceKey::Id(14)][ResourceKey::Text(u"MAINICON")][0x409].bytes.assign(5000, 7);
        EXPECT_FALSE(ReplaceResources(*bytes, grown));
    }
}

// A section that reaches into the resource section's addresses would take the resource
// directory's address for its own: the resources written would not be found there.
TEST(PeRewrite, RefusesSectionsThatOverlapInMemory) {
    auto program = ReadBytes(WinBin("sfxhead.exe"));
    ASSERT_FALSE(program.empty());
    auto image = *pe::ParsePeImage(program);
    const uint32_t rsrcVa = image.Directory(pe::kDirResource).VirtualAddress;
    auto rsrc = std::find_if(image.sections.begin(), image.sections.end(),
                             [&](const auto& s) { return s.VirtualAddress == rsrcVa; });
    ASSERT_NE(rsrc, image.sections.begin());
    const size_t before = static_cast<size_t>(rsrc - image.sections.begin()) - 1;
    pe::WriteAt(std::span(program),
                image.sectionTableOffset + before * sizeof(pe::SectionHeader) +
                    offsetof(pe::SectionHeader, VirtualAddress),
                uint32_t{rsrcVa - 0x200});
    ResourceTable icon;
    icon[ResourceKey::Id(14)][ResourceKey::Text(u"MAINICON")][0x409].bytes.assign(5000, 7);
    EXPECT_FALSE(ReplaceResources(program, icon));
}

TEST(PeRewrite, RefusesSignedImages) {
    auto bytes = ReadBytes(WinBin("sfxhead.exe"));
    ASSERT_FALSE(bytes.empty());
    auto image = *pe::ParsePeImage(bytes);
    pe::WriteAt(std::span(bytes), image.directoriesOffset + pe::kDirSecurity * 8,
                pe::DataDirectory{static_cast<uint32_t>(bytes.size()), 8});
    EXPECT_FALSE(ReplaceResources(bytes, TableOf(bytes)));
}

// Every prefix of an executable, and the executable with any one header byte disturbed, is
// either read and rewritten consistently or refused.
TEST(PeRewrite, SurvivesTruncatedAndDisturbedImages) {
    auto bytes = ReadBytes(WinBin("fx_target.exe"));
    ASSERT_FALSE(bytes.empty());
    for (size_t size = 0; size < bytes.size(); size += 7) {
        std::span<const uint8_t> prefix(bytes.data(), size);
        if (auto image = pe::ParsePeImage(prefix)) {
            if (auto table = ReadResources(*image)) {
                ReplaceResources(prefix, *table);
            }
        }
    }
    for (size_t at = 0; at < 0x400; ++at) {
        auto disturbed = bytes;
        disturbed[at] ^= 0xFF;
        auto image = pe::ParsePeImage(disturbed);
        auto table = image ? ReadResources(*image) : std::nullopt;
        if (table) {
            if (auto rewritten = ReplaceResources(disturbed, *table)) {
                EXPECT_EQ(TableOf(*rewritten), *table) << "offset " << at;
            }
        }
    }
}

// A resource directory whose subdirectory points back at the root is refused, not walked.
TEST(PeRewrite, RefusesCyclicResourceDirectories) {
    auto bytes = ReadBytes(WinBin("fx_target.exe"));
    ASSERT_FALSE(bytes.empty());
    auto image = *pe::ParsePeImage(bytes);
    auto offset = image.RvaToOffset(image.Directory(pe::kDirResource).VirtualAddress, 24);
    ASSERT_TRUE(offset);
    auto firstType = *pe::ReadAt<pe::ResourceDirectoryEntry>(bytes, *offset + 16);
    auto names = (firstType.OffsetToData & ~pe::kHighBit) + *offset;
    pe::WriteAt(std::span(bytes), names + 16 + 4, pe::kHighBit); // first name -> root
    EXPECT_FALSE(ReadResources(*pe::ParsePeImage(bytes)));
}

} // namespace
} // namespace prresources

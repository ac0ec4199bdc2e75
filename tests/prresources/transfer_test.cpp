// The icon and version transfer over our own resource writer, on cross-built fixtures whose
// resources are small labelled byte strings.
#include "pe_rewrite.h"
#include "resource_api_pe.h"
#include "test_files.h"
#include "transfer.h"

namespace prresources {
namespace {

using namespace testing;

const ResourceKey kIcon = ResourceKey::Id(3);
const ResourceKey kGroup = ResourceKey::Id(14);
const ResourceKey kVersion = ResourceKey::Id(16);

// Looks through the PE operations and records the order of releases and of the update's end.
class RecordingApi : public PeResourceApi {
  public:
    bool EndUpdate(UpdateHandle update, bool discard) override {
        calls.push_back(discard ? "discard" : "commit");
        return PeResourceApi::EndUpdate(update, discard);
    }
    void FreeDataFile(ModuleHandle module) override {
        calls.push_back("free");
        PeResourceApi::FreeDataFile(module);
    }
    std::vector<std::string> calls;
};

class Transfer : public ScratchTest {
  protected:
    ResourceTable Resources(const std::string& file) {
        auto table = ReadFileResources(file);
        EXPECT_TRUE(table);
        return table.value_or(ResourceTable{});
    }
    std::vector<uint8_t> Data(const ResourceTable& table, const ResourceKey& type,
                              const ResourceKey& name, uint16_t language) {
        auto names = table.find(type);
        if (names == table.end() || !names->second.contains(name) ||
            !names->second.at(name).contains(language)) {
            return {};
        }
        return names->second.at(name).at(language).bytes;
    }
    std::vector<uint8_t> SourceGroup(uint16_t language) {
        return Data(Resources(WinBin("fx_source.exe")), kGroup, ResourceKey::Id(1), language);
    }
};

// The target's first group keeps its name, loses its old language and images, and holds the
// source's first group in both of the source's languages; the images come from the neutral
// language of the source, whatever the group's language, and replace a kept image.
TEST_F(Transfer, IconReplacesTheTargetsFirstGroupUnderItsName) {
    std::string target = Copy(WinBin("fx_target.exe"), "target.exe");
    ASSERT_TRUE(TransferIcon(WinBin("fx_source.exe"), target));
    ResourceTable table = Resources(target);

    const auto mainIcon = ResourceKey::Text(u"MAINICON");
    ASSERT_TRUE(table[kGroup].contains(mainIcon));
    LanguageMap& languages = table[kGroup][mainIcon];
    EXPECT_EQ(languages.size(), 2u);
    EXPECT_FALSE(languages.contains(0x0405));
    EXPECT_EQ(languages[0x0409].bytes, SourceGroup(0x0409));
    EXPECT_EQ(languages[0x0407].bytes, SourceGroup(0x0407));
    EXPECT_FALSE(table[kGroup].contains(ResourceKey::Id(1)));

    std::map<std::pair<uint16_t, uint16_t>, std::string> images;
    for (const auto& [name, byLanguage] : table[kIcon]) {
        for (const auto& [language, data] : byLanguage) {
            images[{name.id, language}] = std::string(data.bytes.begin(), data.bytes.end());
        }
    }
    std::map<std::pair<uint16_t, uint16_t>, std::string> expected = {
        {{7, 0x0409}, "source image 7"},
        {{8, 0x0409}, "source image 8"},
        {{8, 0x0407}, "source image 8"},
        {{9, 0x0409}, "target image 9 en"}};
    EXPECT_EQ(images, expected);
    EXPECT_EQ(
        Data(table, kGroup, ResourceKey::Text(u"ZKEEP"), 0x0409),
        Data(Resources(WinBin("fx_target.exe")), kGroup, ResourceKey::Text(u"ZKEEP"), 0x0409));
}

TEST_F(Transfer, IconIntoATargetWithoutGroupsUsesTheSourceName) {
    std::string target = Copy(WinBin("fx_noicon.exe"), "target.exe");
    ASSERT_TRUE(TransferIcon(WinBin("fx_source.exe"), target));
    ResourceTable table = Resources(target);
    EXPECT_EQ(table[kGroup].size(), 1u);
    EXPECT_EQ(Data(table, kGroup, ResourceKey::Id(1), 0x0407), SourceGroup(0x0407));
    EXPECT_FALSE(Data(table, kVersion, ResourceKey::Id(1), 0x0409).empty());
}

// Images that have no neutral form are taken in US English when there is one, otherwise in the
// first language of the file, as wine's FindResource does on an English system.
TEST_F(Transfer, IconImagesWithoutANeutralFormFallBackLikeFindResource) {
    std::string target = Copy(WinBin("fx_noicon.exe"), "target.exe");
    ASSERT_TRUE(TransferIcon(WinBin("fx_langs.exe"), target));
    ResourceTable table = Resources(target);
    EXPECT_EQ(Data(table, kIcon, ResourceKey::Id(3), 0x0000), Bytes("langs image 3 en"));
    EXPECT_EQ(Data(table, kIcon, ResourceKey::Id(4), 0x0000), Bytes("langs image 4 cs"));
    EXPECT_EQ(table[kIcon].size(), 2u);
}

// Every version name and language of the target goes; every one of the source comes.
TEST_F(Transfer, VersionCopiesEveryNameAndLanguage) {
    std::string target = Copy(WinBin("fx_target.exe"), "target.exe");
    ASSERT_TRUE(TransferVersionInfo(WinBin("fx_source.exe"), target));
    ResourceTable table = Resources(target);
    ResourceTable source = Resources(WinBin("fx_source.exe"));
    EXPECT_EQ(table[kVersion], source[kVersion]);
    EXPECT_EQ(table[kGroup], Resources(WinBin("fx_target.exe"))[kGroup]);
}

// Each failing transfer leaves the target byte for byte as it was and reports false.
TEST_F(Transfer, FailuresLeaveTheTargetUnchanged) {
    std::string batch = Path("setup.bat");
    WriteBytes(batch, Bytes("@echo off\r\necho MZ\r\n"));
    std::string target = Copy(WinBin("fx_target.exe"), "target.exe");
    const auto original = ReadBytes(target);

    EXPECT_FALSE(TransferIcon(batch, target));
    EXPECT_FALSE(TransferVersionInfo(batch, target));
    EXPECT_FALSE(TransferIcon(Path("missing.exe"), target));
    EXPECT_FALSE(TransferIcon(WinBin("fx_noicon.exe"), target));
    EXPECT_FALSE(TransferVersionInfo(WinBin("fx_noversion.exe"), target));
    EXPECT_EQ(ReadBytes(target), original);

    EXPECT_FALSE(TransferIcon(WinBin("fx_source.exe"), batch));
    EXPECT_FALSE(TransferVersionInfo(WinBin("fx_source.exe"), Path("missing.exe")));
    EXPECT_EQ(ReadBytes(batch), Bytes("@echo off\r\necho MZ\r\n"));
    EXPECT_FALSE(std::filesystem::exists(Path("missing.exe")));
}

// A source group that claims more entries than its bytes hold is refused, not overread.
TEST_F(Transfer, RefusesAGroupShorterThanItsCount) {
    auto bytes = ReadBytes(WinBin("fx_source.exe"));
    auto table = *ReadResources(*pe::ParsePeImage(bytes));
    table[kGroup][ResourceKey::Id(1)][0x0407].bytes[4] = 40;
    std::string source = Path("source.exe");
    WriteBytes(source, *ReplaceResources(bytes, table));
    std::string target = Copy(WinBin("fx_target.exe"), "target.exe");
    const auto original = ReadBytes(target);
    EXPECT_FALSE(TransferIcon(source, target));
    EXPECT_EQ(ReadBytes(target), original);
}

// When the target cannot be rewritten, the commit fails and so does the transfer.
TEST_F(Transfer, ReportsAFailedCommit) {
    std::string target = Copy(WinBin("fx_target.exe"), "target.exe");
    auto bytes = ReadBytes(target);
    auto image = *pe::ParsePeImage(bytes);
    pe::WriteAt(std::span(bytes), image.directoriesOffset + pe::kDirSecurity * 8,
                pe::DataDirectory{static_cast<uint32_t>(bytes.size()), 8});
    WriteBytes(target, bytes);
    EXPECT_FALSE(TransferIcon(WinBin("fx_source.exe"), target));
    EXPECT_EQ(ReadBytes(target), bytes);
}

TEST_F(Transfer, ReleasesViewsBeforeEndingTheUpdate) {
    std::string target = Copy(WinBin("fx_target.exe"), "target.exe");
    RecordingApi api;
    EXPECT_TRUE(TransferIcon(api, WinBin("fx_source.exe"), target));
    EXPECT_FALSE(TransferVersionInfo(api, WinBin("fx_noversion.exe"), target));
    EXPECT_FALSE(TransferIcon(api, Path("missing.exe"), target));
    EXPECT_EQ(api.calls, (std::vector<std::string>{"free", "free", "commit", "free", "free",
                                                   "discard", "free", "discard"}));
}

// Text names behave as on Windows: upper-cased, "#n" is the ID n; FindResource prefers the
// neutral language, then US English, and otherwise takes the first.
TEST_F(Transfer, NamesAndLanguagesFollowWindows) {
    EXPECT_EQ(KeyFromName("mainIcon"), ResourceKey::Text(u"MAINICON"));
    EXPECT_EQ(KeyFromName("#102"), ResourceKey::Id(102));
    EXPECT_FALSE(KeyFromName("#1x"));
    EXPECT_FALSE(KeyFromName("#70000"));

    PeResourceApi api;
    ModuleHandle module = api.LoadDataFile(WinBin("fx_target.exe"));
    ASSERT_NE(module, nullptr);
    NameList names;
    EXPECT_TRUE(api.EnumNames(module, kRtGroupIcon, CollectResourceName,
                              reinterpret_cast<intptr_t>(&names)));
    ASSERT_EQ(names.Count(), 2u);
    EXPECT_STREQ(names.At(0), "MAINICON");
    EXPECT_STREQ(names.At(1), "ZKEEP");
    EXPECT_TRUE(api.FindEx(module, kRtGroupIcon, "mainicon", 0x0405));
    EXPECT_FALSE(api.FindEx(module, kRtGroupIcon, "mainicon", 0x0409));
    ResourceHandle image = api.Find(module, MakeIntResource(7), kRtIcon);
    ASSERT_TRUE(image);
    EXPECT_EQ(api.SizeOf(module, image), 17u);
    EXPECT_FALSE(api.EnumNames(module, MakeIntResource(99), CollectResourceName, 0));
    api.FreeDataFile(module);

    module = api.LoadDataFile(WinBin("fx_source.exe"));
    ASSERT_NE(module, nullptr);
    ResourceHandle group = api.Find(module, MakeIntResource(1), kRtGroupIcon);
    EXPECT_EQ(group, api.FindEx(module, kRtGroupIcon, MakeIntResource(1), 0x0409));
    ResourceHandle neutralOnly = api.Find(module, MakeIntResource(2), kRtGroupIcon);
    EXPECT_EQ(neutralOnly, api.FindEx(module, kRtGroupIcon, MakeIntResource(2), 0x0000));
    api.FreeDataFile(module);
}

// The file `from` with the first two names of its icon groups swapped in its resource
// directory, as a file written by another tool may hold them.
std::string WithGroupsSwapped(const std::string& from, const std::string& to) {
    auto bytes = ReadBytes(from);
    auto image = *pe::ParsePeImage(bytes);
    uint64_t root = *image.RvaToOffset(image.Directory(pe::kDirResource).VirtualAddress, 16);
    auto types = *pe::ReadAt<pe::ResourceDirectory>(bytes, root);
    for (uint32_t i = 0; i < uint32_t{types.NumberOfNamedEntries} + types.NumberOfIdEntries; ++i) {
        auto type = *pe::ReadAt<pe::ResourceDirectoryEntry>(bytes, root + 16 + i * 8);
        if (type.Name != 14)
            continue;
        uint64_t first = root + (type.OffsetToData & ~pe::kHighBit) + 16;
        auto a = *pe::ReadAt<pe::ResourceDirectoryEntry>(bytes, first);
        auto b = *pe::ReadAt<pe::ResourceDirectoryEntry>(bytes, first + 8);
        pe::WriteAt(std::span(bytes), first, b);
        pe::WriteAt(std::span(bytes), first + 8, a);
    }
    WriteBytes(to, bytes);
    return to;
}

// Names come in the order of the file's directory, as EnumResourceNames gives them, even where
// that order is not sorted: the transfer takes the group that the directory holds first.
TEST_F(Transfer, NamesComeInTheOrderOfTheFilesDirectory) {
    std::string source = WithGroupsSwapped(WinBin("fx_twogroups.exe"), Path("zfirst.exe"));
    PeResourceApi api;
    ModuleHandle module = api.LoadDataFile(source);
    ASSERT_NE(module, nullptr);
    NameList names;
    EXPECT_TRUE(api.EnumNames(module, kRtGroupIcon, CollectResourceName,
                              reinterpret_cast<intptr_t>(&names)));
    api.FreeDataFile(module);
    ASSERT_EQ(names.Count(), 2u);
    EXPECT_STREQ(names.At(0), "ZGROUP");
    EXPECT_STREQ(names.At(1), "AGROUP");

    std::string target = Copy(WinBin("fx_noicon.exe"), "target.exe");
    ASSERT_TRUE(TransferIcon(source, target));
    ResourceTable table = Resources(target);
    EXPECT_EQ(table[kGroup].size(), 1u);
    EXPECT_TRUE(table[kGroup].contains(ResourceKey::Text(u"ZGROUP")));
    EXPECT_EQ(Data(table, kIcon, ResourceKey::Id(8), 0x0409), Bytes("twogroups image 8"));
}

} // namespace
} // namespace prresources

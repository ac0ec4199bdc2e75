// The working folder's names, the registrations that belong to it, its security descriptor and
// the free-space report's name for its drive.
#include <gtest/gtest.h>

#include <string>

#include "text.h"
#include "workdir.h"

namespace {

const char kId[] = "0012AB34CD";

std::u16string Units(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

bool IsRunFolder(const std::string& name) {
    std::u16string units = Units(name);
    return sfx::IsRunFolderName(reinterpret_cast<const uint16_t*>(units.data()), units.size(), kId,
                                10);
}

TEST(RunFolderName, EachAttemptHasANameThatIsKnownAgainAndNothingElseIs) {
    for (uint32_t attempt : {0u, 1u, 9u, 10u, 9999u}) {
        wchar_t name[64] = L"";
        sfx::AppendRunFolderName(name, 64, kId, 10, attempt);
        std::string text(name, name + sfx::TextLength(name));
        EXPECT_EQ(text,
                  attempt == 0 ? "~sfx0012AB34CD" : "~sfx0012AB34CD." + std::to_string(attempt));
        EXPECT_TRUE(IsRunFolder(text)) << text;
    }
    EXPECT_TRUE(IsRunFolder("~SFX0012ab34cd.7"));
    for (const char* other :
         {"~sfx0012AB34CE", "~sfx0012AB34CD.", "~sfx0012AB34CD.0", "~sfx0012AB34CD.01",
          "~sfx0012AB34CD.12345", "~sfx0012AB34CDX", "~sfx0012AB34CD.1x", "~sfx0012AB34C", ""})
        EXPECT_FALSE(IsRunFolder(other)) << other;
}

size_t Prefix(const std::string& path) {
    std::u16string p = Units(path), parent = Units("\\??\\C:\\Temp\\");
    return sfx::RunFolderPrefix(reinterpret_cast<const uint16_t*>(p.data()), p.size(),
                                reinterpret_cast<const uint16_t*>(parent.data()), parent.size(),
                                kId, 10);
}

TEST(RunFolderPrefix, OnlyPathsInsideThisFilesRunFoldersDirectlyUnderTheParent) {
    EXPECT_EQ(Prefix("\\??\\C:\\Temp\\~sfx0012AB34CD"), 26u);
    EXPECT_EQ(Prefix("\\??\\c:\\temp\\~sfx0012AB34CD.3\\bin\\a.exe"), 28u);
    EXPECT_EQ(Prefix("\\??\\C:\\Temp\\~sfx0012AB34CDE\\a"), 0u);
    EXPECT_EQ(Prefix("\\??\\C:\\Temp\\x\\~sfx0012AB34CD\\a"), 0u);
    EXPECT_EQ(Prefix("\\??\\D:\\Temp\\~sfx0012AB34CD\\a"), 0u);
    EXPECT_EQ(Prefix("\\??\\C:\\Temp\\"), 0u);
}

std::string Security(const wchar_t* sid, bool high, size_t cap = 200) {
    wchar_t out[200];
    if (!sfx::FolderSecurityText(sid, high, out, cap))
        return "(too long)";
    return std::string(out, out + sfx::TextLength(out));
}

TEST(FolderSecurityText, PrivateToTheUserAndAdministratorsAndLabelledWhenElevated) {
    EXPECT_EQ(Security(L"S-1-5-21-1-2-3-1001", false),
              "D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    EXPECT_EQ(Security(L"S-1-5-18", true),
              "D:P(A;OICI;FA;;;S-1-5-18)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)S:(ML;OICI;NW;;;HI)");
    EXPECT_EQ(Security(L"S-1-5-21-1-2-3-1001", true, 40), "(too long)");
}

std::string Detail(const wchar_t* temp, int64_t freeBytes, int64_t needed) {
    wchar_t root[64], out[128];
    sfx::SpaceRoot(temp, root, 64);
    sfx::FormatSpaceDetail(root, freeBytes, needed, '.', out, 128);
    return std::string(out, out + sfx::TextLength(out));
}

TEST(FormatSpaceDetail, NamesTheDriveOrTheFolderWithoutOne) {
    EXPECT_EQ(Detail(L"c:\\Users\\u\\Temp\\", 1572864, 2359296), "C:\\   (1.50 MB<2.25 MB)");
    EXPECT_EQ(Detail(L"\\\\?\\D:\\t\\", 1, 2), "D:\\   (1 B<2 B)");
    EXPECT_EQ(Detail(L"\\\\server\\share\\t\\", -1, 10), "\\\\server\\share\\t\\   (-1 B<10 B)");
}

} // namespace

// Language choice and the progress bar's arithmetic.
#include <gtest/gtest.h>

#include <string>

#include "progress.h"

namespace {

TEST(ChooseLanguage, UsesThePrimaryLanguageOnly) {
    EXPECT_EQ(sfx::ChooseLanguage(0x0405), 1); // Czech
    EXPECT_EQ(sfx::ChooseLanguage(0x0807), 2); // Swiss German
    EXPECT_EQ(sfx::ChooseLanguage(0x080C), 3); // Belgian French
    EXPECT_EQ(sfx::ChooseLanguage(0x0410), 4);
    EXPECT_EQ(sfx::ChooseLanguage(0x0813), 5);
    EXPECT_EQ(sfx::ChooseLanguage(0x0419), 6);
    for (int other : {0x0409, 0x041B, 0x0C0A, 0x0415, 0x0000})
        EXPECT_EQ(sfx::ChooseLanguage(static_cast<uint16_t>(other)), 0) << other;
    EXPECT_EQ(sfx::ChooseLanguage(0xFF05), 1); // sublanguage bits do not matter
}

TEST(LanguageTexts, AreStoredInTheirCodePages) {
    EXPECT_STREQ(sfx::WaitText(1), "\xC8"
                                   "ekejte pros\xEDm...");
    EXPECT_STREQ(sfx::WaitText(3), "Attendez, s\x92il vous pla\xEEt...");
    EXPECT_EQ(std::string(sfx::InitText(6)), "\xCD\xE0\xF1\xF2\xF0\xEE\xE9\xEA\xE0");
    EXPECT_STREQ(sfx::InitText(2), "Initialisierung");
    EXPECT_STREQ(sfx::InitText(99), "Initialization");
}

std::string Percent(float f) {
    char out[8];
    sfx::PercentText(f, out);
    return out;
}

TEST(Progress, BarAndPercentageFollowTheDataUnpacked) {
    EXPECT_EQ(sfx::ProgressFraction(0, 0), 0.0f);
    // One 3,000,000-byte file refreshes at these three points.
    const std::pair<int64_t, std::pair<int, const char*>> steps[] = {
        {1048576, {16 + 100, "35 %"}},
        {2097152, {16 + 201, "70 %"}},
        {3000000, {16 + 288, "100 %"}}};
    for (auto& [done, expected] : steps) {
        float f = sfx::ProgressFraction(done, 3000000);
        EXPECT_EQ(sfx::BarEnd(f), expected.first) << done;
        EXPECT_EQ(Percent(f), expected.second) << done;
    }
    EXPECT_EQ(Percent(0.0f), "0 %");
    EXPECT_EQ(Percent(0.4251f), "43 %");
    EXPECT_EQ(Percent(0.005f), "1 %");
}

} // namespace

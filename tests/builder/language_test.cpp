// Choice of the interface language row.
#include "language.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using prdialogs::LanguageIndexFor;

TEST(Language, PrimaryLanguageChoosesTheRow) {
    EXPECT_EQ(LanguageIndexFor(0x0405, 0), 1); // Czech
    EXPECT_EQ(LanguageIndexFor(3079, 0), 2);   // German of Austria
    EXPECT_EQ(LanguageIndexFor(0x0C0C, 0), 3); // French of Canada
    EXPECT_EQ(LanguageIndexFor(0x0410, 0), 4);
    EXPECT_EQ(LanguageIndexFor(0x0419, 0), 5);
    EXPECT_EQ(LanguageIndexFor(0x041B, 0), 0); // Slovak keeps English
    EXPECT_EQ(LanguageIndexFor(0x0411, 3), 3); // an unknown language leaves the row alone
    EXPECT_STREQ(prdialogs::LanguageTexts[2].ErrorCaption, "Fehler");
    EXPECT_STREQ(prdialogs::LanguageTexts[2].QuestionCaption, "Question");
}

TEST(Language, LocaleNames) {
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale("de_AT.UTF-8"), 0x07);
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale("cs"), 0x05);
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale("ru_RU"), 0x19);
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale("C.UTF-8"), 0);
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale("des_XX"), 0);
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale(""), 0);
    EXPECT_EQ(prdialogs::PrimaryLangIdFromLocale(nullptr), 0);
}

} // namespace

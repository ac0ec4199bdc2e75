// Version texts, the about box's texts and the help window's texts.
#include "about.h"
#include "cmdline_window.h"
#include "maker.h"
#include "version.h"

#include <gtest/gtest.h>

namespace {

TEST(Version, FixedPartGivesFourUnsignedNumbers) {
    EXPECT_EQ(prutils::VersionText(0x00030000, 0x0015003D), "3.0.21.61");
    EXPECT_EQ(prutils::VersionText(0xFFFFFFFF, 0), "65535.65535.0.0");
}

TEST(Version, MajorMinorCutsAtTheSecondDot) {
    EXPECT_EQ(prutils::MajorMinorVersion("1.2.3.4"), "1.2");
    EXPECT_EQ(prutils::MajorMinorVersion("10.20"), "10.20");
    EXPECT_EQ(prutils::MajorMinorVersion("7"), "7");
    EXPECT_EQ(prutils::MajorMinorVersion(""), "");
    EXPECT_EQ(prutils::MajorMinorVersion("1..3"), "1.");
}

TEST(Version, MissingFileHasNoVersion) {
    EXPECT_EQ(prutils::FileVersionString("/nonexistent/packrig"), "");
}

TEST(ShellOpen, BlankTextOpensNothing) {
    EXPECT_FALSE(prutils::ShellOpen(""));
    EXPECT_FALSE(prutils::ShellOpen(" \t\r\n "));
}

TEST(AboutTexts, EnglishRowWithVersionYearAndWord) {
    prdialogs::AboutTexts t = prdialogs::ComposeAboutTexts(
        prdialogs::LanguageTexts[0], "Packrig 3.0", "3.0.21.61", 2004, "packrig");
    EXPECT_EQ(t.caption, "About...");
    EXPECT_EQ(t.heading, "Packrig 3.0");
    EXPECT_EQ(t.version, "Version 3.0.21.61");
    EXPECT_EQ(t.copyright, std::string(prdialogs::LanguageTexts[0].CopyrightLine) + " 2004");
    EXPECT_EQ(t.webLink, PACKRIG_WEB_ADDRESS "/packrig");
    EXPECT_EQ(t.emailLink, PACKRIG_EMAIL_ADDRESS);
    EXPECT_EQ(prdialogs::MailtoAddress(t.emailLink), "mailto:" PACKRIG_EMAIL_ADDRESS);
}

TEST(AboutTexts, CzechRowWithoutVersionOrWord) {
    prdialogs::AboutTexts t =
        prdialogs::ComposeAboutTexts(prdialogs::LanguageTexts[1], "Packrig ", "", 2026, "");
    EXPECT_EQ(t.caption, "O programu...");
    EXPECT_EQ(t.version, "Verze ");
    EXPECT_EQ(t.notice, "Tento program je freeware");
    EXPECT_EQ(t.webCaption, "Web:");
    EXPECT_EQ(t.emailCaption, "E-mail:");
    EXPECT_EQ(t.webLink, PACKRIG_WEB_ADDRESS);
}

TEST(HelpWindow, CaptionAndUsageText) {
    EXPECT_EQ(fcmdline::HelpCaption("Packrig 3.0"), "Packrig 3.0 - Command line support");
    std::string text = fcmdline::UsageText();
    EXPECT_EQ(text.find("Usage:\r\npackrig [-o] [-c] [-h]"), 0u);
    EXPECT_TRUE(text.ends_with(
        "\r\n\r\nExample:\r\npackrig -o \"C:\\sourcedir\" \"setup.exe\" \"C:\\targetfile.exe\""));
    size_t breaks = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++breaks;
    EXPECT_EQ(breaks, 9u);
}

} // namespace

// The about box: its texts, composed from the interface language, the application's title and the
// program file's version and year, and the box itself (Windows).
#pragma once

#include "language.h"

#include <string>

namespace prdialogs {

// The path appended to the maker's web address in the about box; set once at start-up.
extern std::string AboutWord;
// The application's title: the main window's caption once the window exists.
extern std::string ApplicationTitle;

struct AboutTexts {
    std::string caption;
    std::string heading;
    std::string version;
    std::string notice;
    std::string copyright;
    std::string webCaption;
    std::string webLink;
    std::string emailCaption;
    std::string emailLink;
    std::string ok;
};

// The box's texts for `row`; `version` is the program file's version string (possibly empty) and
// `year` the year of its last write.
AboutTexts ComposeAboutTexts(const LanguageRow& row, const std::string& title,
                             const std::string& version, int year, const std::string& aboutWord);

// What a click on the e-mail link opens.
std::string MailtoAddress(const std::string& linkText);

// Shows the about box modally over the main window and returns when it is closed.
void ShowAboutBox();

} // namespace prdialogs

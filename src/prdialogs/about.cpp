// The about box's texts.
#include "about.h"

#include "maker.h"

namespace prdialogs {

std::string AboutWord;
std::string ApplicationTitle;

AboutTexts ComposeAboutTexts(const LanguageRow& row, const std::string& title,
                             const std::string& version, int year, const std::string& aboutWord) {
    AboutTexts texts;
    texts.caption = row.AboutCaption;
    texts.heading = title;
    texts.version = std::string(row.VersionWord) + " " + version;
    texts.notice = row.FreewareNotice;
    texts.copyright = std::string(row.CopyrightLine) + " " + std::to_string(year);
    texts.webCaption = std::string(row.WebLabel) + ":";
    texts.webLink = PACKRIG_WEB_ADDRESS;
    if (!aboutWord.empty())
        texts.webLink += "/" + aboutWord;
    texts.emailCaption = std::string(row.EmailLabel) + ":";
    texts.emailLink = PACKRIG_EMAIL_ADDRESS;
    texts.ok = row.OkCaption;
    return texts;
}

std::string MailtoAddress(const std::string& linkText) {
    return "mailto:" + linkText;
}

} // namespace prdialogs

// Message boxes of the headless Linux builder: caption and text on standard error in UTF-8. A
// question is asked on the terminal; without a terminal to ask, the answer is No.
#include "boxes.h"

#include "cmdline.h"
#include "codepage.h"
#include "language.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

namespace prdialogs {

namespace {

std::string CaptionUtf8(const char* caption) {
    return prutils::ToUtf8(caption, Texts().CodePage == 1251 ? prutils::CodePage::Windows1251
                                                             : prutils::CodePage::Windows1252);
}

// Message texts use CR LF line breaks; a terminal wants LF.
std::string TerminalLines(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

void Print(const char* caption, const std::string& text) {
    std::cerr << CaptionUtf8(caption) << ": " << TerminalLines(text) << std::endl;
}

} // namespace

void ShowError(const std::string& text) {
    Print(Texts().ErrorCaption, text);
}

void ShowInformation(const std::string& text) {
    Print(Texts().InformationCaption, text);
}

bool AskYesNo(const std::string& text, bool yesIsDefault) {
    std::cerr << CaptionUtf8(Texts().QuestionCaption) << ": " << TerminalLines(text)
              << (yesIsDefault ? " [Y/n] " : " [y/N] ") << std::flush;
    if (!isatty(STDIN_FILENO)) {
        std::cerr << (yesIsDefault ? "y" : "n") << " (no terminal)" << std::endl;
        return yesIsDefault;
    }
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    std::string word = prutils::TrimControlAndBlank(answer);
    if (word.empty())
        return yesIsDefault;
    return word == "y" || word == "Y" || word == "yes" || word == "Yes" || word == "YES";
}

void ShowApplicationError(const std::string& text) {
    Print("Application Error", text);
}

void DetectLanguage() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(var);
        if (value && *value) {
            LanguageIndex = LanguageIndexFor(PrimaryLangIdFromLocale(value), LanguageIndex);
            return;
        }
    }
}

} // namespace prdialogs

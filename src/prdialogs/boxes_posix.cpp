// Message boxes of the Linux builder: caption and text on standard error in UTF-8, or through the
// installed box face of the window. A question is asked on the terminal; without a terminal to
// ask, the answer is the default one.
#include "boxes.h"

#include "box_face.h"
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

BoxFace* g_face = nullptr;
void* g_applicationWindow = nullptr;

std::string CaptionUtf8(const char* caption) {
    return TextUtf8(caption);
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

void SetBoxFace(BoxFace* face) {
    g_face = face;
}

void SetApplicationWindow(void* window) {
    g_applicationWindow = window;
}

void* ApplicationWindow() {
    return g_applicationWindow;
}

void ShowError(const std::string& text) {
    if (g_face)
        g_face->Show(BoxKind::Error, CaptionUtf8(Texts().ErrorCaption), text);
    else
        Print(Texts().ErrorCaption, text);
}

void ShowInformation(const std::string& text) {
    if (g_face)
        g_face->Show(BoxKind::Information, CaptionUtf8(Texts().InformationCaption), text);
    else
        Print(Texts().InformationCaption, text);
}

bool AskYesNo(const std::string& text, bool yesIsDefault) {
    if (g_face)
        return g_face->Ask(CaptionUtf8(Texts().QuestionCaption), text, yesIsDefault);
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

void WriteTerminalLine(const std::string& line) {
    std::cerr << line << std::endl;
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

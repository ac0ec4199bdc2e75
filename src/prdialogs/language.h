// The builder's interface language: six rows of ten texts, and the choice of row from the
// system's default language. The rows are bytes in their language's Windows code page.
#pragma once

#include <stdint.h>
#include <string>

namespace prdialogs {

struct LanguageRow {
    const char* ErrorCaption;
    const char* InformationCaption;
    const char* QuestionCaption;
    const char* AboutCaption;
    const char* VersionWord;
    const char* FreewareNotice;
    const char* CopyrightLine;
    const char* WebLabel;
    const char* EmailLabel;
    const char* OkCaption;
    int CodePage; // 1251 or 1252
};

inline constexpr int kLanguageCount = 6;
extern const LanguageRow LanguageTexts[kLanguageCount];
extern uint8_t LanguageIndex;

// The row for a Windows language ID: only its primary language (low 8 bits) counts. Languages
// without a row keep `current`.
uint8_t LanguageIndexFor(uint16_t langId, uint8_t current);

// The Windows primary language ID of a POSIX locale name such as "de_AT.UTF-8" (0 when unknown).
uint16_t PrimaryLangIdFromLocale(const char* locale);

// Sets LanguageIndex from the system's default language.
void DetectLanguage();

// The current row.
const LanguageRow& Texts();

// A text of the current row (bytes in its code page) as UTF-8.
std::string TextUtf8(const char* rowText);

} // namespace prdialogs

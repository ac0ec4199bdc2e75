// The language table and its selection.
#include "language.h"

#include "codepage.h"

namespace prdialogs {

#define PACKRIG_COPYRIGHT "Copyright (c) Quorvel"

const LanguageRow LanguageTexts[kLanguageCount] = {
    {"Error", "Information", "Question", "About...", "Version",
     "This program is released as freeware", PACKRIG_COPYRIGHT, "Web", "E-mail", "OK", 1252},
    {"Chyba", "Informace", "Dotaz", "O programu...", "Verze", "Tento program je freeware",
     PACKRIG_COPYRIGHT, "Web", "E-mail", "OK", 1252},
    {"Fehler", "Information", "Question", "About...", "Version",
     "This program is released as freeware", PACKRIG_COPYRIGHT, "Web", "E-mail", "OK", 1252},
    {"Erreur", "Information", "Question", "Sur le programme...", "Version",
     "Le pr\xE9sent programme est freeware", PACKRIG_COPYRIGHT, "Web", "E-mail", "OK", 1252},
    {"Errore", "Informazione", "Domanda", "Sul programma...", "Versione",
     "Questo programma \xE8 freeware", PACKRIG_COPYRIGHT, "Web", "E-mail", "OK", 1252},
    // Windows-1251: Ошибка, Информация, Вопрос, О программе..., Версия, Эта программа freeware
    {"\xCE\xF8\xE8\xE1\xEA\xE0", "\xC8\xED\xF4\xEE\xF0\xEC\xE0\xF6\xE8\xFF",
     "\xC2\xEE\xEF\xF0\xEE\xF1", "\xCE \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE5...",
     "\xC2\xE5\xF0\xF1\xE8\xFF", "\xDD\xF2\xE0 \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0 freeware",
     PACKRIG_COPYRIGHT, "Web", "E-mail", "OK", 1251},
};

uint8_t LanguageIndex = 0;

uint8_t LanguageIndexFor(uint16_t langId, uint8_t current) {
    switch (langId & 0xFF) {
    case 0x05:
        return 1; // Czech
    case 0x07:
        return 2; // German
    case 0x0C:
        return 3; // French
    case 0x10:
        return 4; // Italian
    case 0x19:
        return 5; // Russian
    default:
        return current;
    }
}

uint16_t PrimaryLangIdFromLocale(const char* locale) {
    struct Known {
        char code[3];
        uint16_t id;
    };
    static const Known kKnown[] = {{"cs", 0x05}, {"de", 0x07}, {"fr", 0x0C},
                                   {"it", 0x10}, {"nl", 0x13}, {"ru", 0x19}};
    if (!locale || !locale[0] || !locale[1])
        return 0;
    if (locale[2] != '\0' && locale[2] != '_' && locale[2] != '.' && locale[2] != '@')
        return 0;
    for (const Known& k : kKnown)
        if (locale[0] == k.code[0] && locale[1] == k.code[1])
            return k.id;
    return 0;
}

const LanguageRow& Texts() {
    return LanguageTexts[LanguageIndex < kLanguageCount ? LanguageIndex : 0];
}

std::string TextUtf8(const char* rowText) {
    return prutils::ToUtf8(rowText, Texts().CodePage == 1251 ? prutils::CodePage::Windows1251
                                                             : prutils::CodePage::Windows1252);
}

} // namespace prdialogs

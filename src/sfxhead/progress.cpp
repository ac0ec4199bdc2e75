// Language choice and progress arithmetic of the progress window; see progress.h.
#include "progress.h"

#include "text.h"

namespace sfx {

namespace {

struct LanguageTexts {
    uint8_t primaryLanguage;
    const char* init;
    const char* wait;
};

// Index 0 is the fallback; the others follow the system's primary language identifiers.
const LanguageTexts kLanguages[] = {
    {0x00, "Initialization", "Please wait..."},
    {0x05, "Inicializace",
     "\xC8"
     "ekejte pros\xEDm..."},                                        // Windows-1250
    {0x07, "Initialisierung", "Bitte warten..."},                   // Windows-1252
    {0x0C, "Initialisation", "Attendez, s\x92il vous pla\xEEt..."}, // Windows-1252
    {0x10, "Inizializzazione", "Attendere prego..."},               // Windows-1252
    {0x13, "Initialiseren", "Even geduld alstublieft..."},          // Windows-1252
    {0x19, "\xCD\xE0\xF1\xF2\xF0\xEE\xE9\xEA\xE0",                  // Windows-1251
     "\xCF\xEE\xE4\xEE\xE6\xE4\xE8\xF2\xE5 \xEF\xEE\xE6\xE0\xEB\xF3\xE9\xF1\xF2\xE0..."},
};
constexpr uint8_t kLanguageCount = sizeof kLanguages / sizeof kLanguages[0];

} // namespace

uint8_t ChooseLanguage(uint16_t langId) {
    uint8_t primary = static_cast<uint8_t>(langId & 0xFF);
    for (uint8_t i = 1; i < kLanguageCount; ++i) {
        if (kLanguages[i].primaryLanguage == primary)
            return i;
    }
    return 0;
}

const char* InitText(uint8_t index) {
    return kLanguages[index < kLanguageCount ? index : 0].init;
}

const char* WaitText(uint8_t index) {
    return kLanguages[index < kLanguageCount ? index : 0].wait;
}

float ProgressFraction(int64_t done, int64_t total) {
    if (total <= 0)
        return 0.0f;
    return static_cast<float>(static_cast<int32_t>(done)) /
           static_cast<float>(static_cast<int32_t>(total));
}

int BarEnd(float f) {
    return kBarLeft + static_cast<int>(f * static_cast<float>(kBarWidth));
}

void PercentText(float f, char* out) {
    int percent = static_cast<int>(f * 100.0f + 0.5f);
    if (percent < 0)
        percent = 0;
    if (percent > 100)
        percent = 100;
    size_t len = FormatInteger(percent, out);
    out[len++] = ' ';
    out[len++] = '%';
    out[len] = 0;
}

} // namespace sfx

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

namespace {

// A positive single-precision value as mantissa / 2^shift.
struct Single {
    uint32_t mantissa;
    int shift;
};

// done / total for 0 < done < total, rounded to the nearest single-precision value (ties to
// the even mantissa) by long division: 24 quotient bits, then the remainder decides.
Single NearestSingle(uint64_t done, uint64_t total) {
    int shift = 23;
    while (done < total) {
        done <<= 1;
        ++shift;
    }
    uint32_t mantissa = 0;
    for (int bit = 0; bit < 24; ++bit) {
        mantissa <<= 1;
        if (done >= total) {
            done -= total;
            mantissa |= 1;
        }
        done <<= 1;
    }
    if (done > total || (done == total && (mantissa & 1) != 0))
        ++mantissa;
    return {mantissa, shift};
}

// value * factor, rounded down, plus `half` of the last place when asked to round to nearest.
int Scaled(Single value, uint32_t factor, bool roundHalfUp) {
    if (value.shift >= 64)
        return 0;
    uint64_t scaled = uint64_t{value.mantissa} * factor;
    if (roundHalfUp)
        scaled += uint64_t{1} << (value.shift - 1);
    return static_cast<int>(scaled >> value.shift);
}

} // namespace

ProgressMarks MeasureProgress(int64_t done, int64_t total) {
    if (total <= 0 || done <= 0)
        return {kBarLeft, 0};
    if (done >= total)
        return {kBarLeft + kBarWidth, 100};
    Single f = NearestSingle(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
    return {kBarLeft + Scaled(f, kBarWidth, false), Scaled(f, 100, true)};
}

void PercentText(int percent, char* out) {
    size_t len = FormatInteger(percent, out);
    out[len++] = ' ';
    out[len++] = '%';
    out[len] = 0;
}

} // namespace sfx

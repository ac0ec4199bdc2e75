// What the progress window shows, apart from drawing it: the language of its two lines, the
// filled length of the bar and the percentage text.
#pragma once

#include <stdint.h>

namespace sfx {

inline constexpr int kBarLeft = 16;
inline constexpr int kBarWidth = 288;

// Index into the text tables (0 English, 1 Czech, 2 German, 3 French, 4 Italian, 5 Dutch,
// 6 Russian) for the system's default language; only the primary language counts.
uint8_t ChooseLanguage(uint16_t langId);

// The two lines of the progress window in language `index`, as bytes in that language's
// Windows code page.
const char* InitText(uint8_t index);
const char* WaitText(uint8_t index);

// Share of the data unpacked so far; 0 while nothing is to be unpacked.
float ProgressFraction(int64_t done, int64_t total);

// Right end of the filled part of the bar for fraction `f`.
int BarEnd(float f);

// "NN %" for fraction `f`, rounded half up, into `out` (at least 6 bytes).
void PercentText(float f, char* out);

} // namespace sfx

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

// What the bar shows for `done` of `total` bytes: the right end of its filled part and the
// percentage. The share done/total is taken as the nearest single-precision value, as the
// window has always shown it, but worked out in integers, so that every build agrees exactly.
struct ProgressMarks {
    int barEnd;
    int percent;
};
ProgressMarks MeasureProgress(int64_t done, int64_t total);

// "NN %" into `out` (at least 6 bytes).
void PercentText(int percent, char* out);

} // namespace sfx

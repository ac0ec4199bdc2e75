// Language choice and the progress bar's arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "progress.h"

namespace {

TEST(ChooseLanguage, UsesThePrimaryLanguageOnly) {
    EXPECT_EQ(sfx::ChooseLanguage(0x0405), 1); // Czech
    EXPECT_EQ(sfx::ChooseLanguage(0x0807), 2); // Swiss German
    EXPECT_EQ(sfx::ChooseLanguage(0x080C), 3); // Belgian French
    EXPECT_EQ(sfx::ChooseLanguage(0x0410), 4);
    EXPECT_EQ(sfx::ChooseLanguage(0x0813), 5);
    EXPECT_EQ(sfx::ChooseLanguage(0x0419), 6);
    for (int other : {0x0409, 0x041B, 0x0C0A, 0x0415, 0x0000})
        EXPECT_EQ(sfx::ChooseLanguage(static_cast<uint16_t>(other)), 0) << other;
    EXPECT_EQ(sfx::ChooseLanguage(0xFF05), 1); // sublanguage bits do not matter
}

TEST(LanguageTexts, AreStoredInTheirCodePages) {
    EXPECT_STREQ(sfx::WaitText(1), "\xC8"
                                   "ekejte pros\xEDm...");
    EXPECT_STREQ(sfx::WaitText(3), "Attendez, s\x92il vous pla\xEEt...");
    EXPECT_EQ(std::string(sfx::InitText(6)), "\xCD\xE0\xF1\xF2\xF0\xEE\xE9\xEA\xE0");
    EXPECT_STREQ(sfx::InitText(2), "Initialisierung");
    EXPECT_STREQ(sfx::InitText(99), "Initialization");
}

std::string Percent(int64_t done, int64_t total) {
    char out[8];
    sfx::PercentText(sfx::MeasureProgress(done, total).percent, out);
    return out;
}

int BarEnd(int64_t done, int64_t total) {
    return sfx::MeasureProgress(done, total).barEnd;
}

TEST(Progress, BarAndPercentageFollowTheDataUnpacked) {
    EXPECT_EQ(Percent(0, 0), "0 %");
    EXPECT_EQ(BarEnd(0, 0), 16);
    // One 3,000,000-byte file refreshes at these three points.
    const std::pair<int64_t, std::pair<int, const char*>> steps[] = {
        {1048576, {16 + 100, "35 %"}},
        {2097152, {16 + 201, "70 %"}},
        {3000000, {16 + 288, "100 %"}}};
    for (auto& [done, expected] : steps) {
        EXPECT_EQ(BarEnd(done, 3000000), expected.first) << done;
        EXPECT_EQ(Percent(done, 3000000), expected.second) << done;
    }
    EXPECT_EQ(Percent(4251, 10000), "43 %");
    // The share is a single-precision value: the nearest one to 1/200 lies just below 0.005,
    // and the nearest one to 11/288 just below 11/288.
    EXPECT_EQ(Percent(1, 200), "0 %");
    EXPECT_EQ(BarEnd(11, 288), 26);
    EXPECT_EQ(Percent(1, 8), "13 %"); // an exact half rounds up
}

// The rule computed independently: the hardware's quotient as a candidate, then the nearest of it
// and its two neighbours chosen by exact integer comparison (ties to the even mantissa), then the
// percentage and the bar's end from that value in exact integer arithmetic.
struct Marks {
    int barEnd;
    int percent;
};

__extension__ typedef unsigned __int128 Wide;

struct Single {
    uint64_t mantissa; // value = mantissa / 2^shift
    int shift;
};

Single Decompose(float f) {
    int exponent = 0;
    float fraction = std::frexp(f, &exponent);
    return {static_cast<uint64_t>(std::ldexp(fraction, 24)), 24 - exponent};
}

Marks Rule(int64_t done, int64_t total) {
    float candidate = static_cast<float>(static_cast<double>(done) / static_cast<double>(total));
    if (candidate < 0x1p-40f) // far below half a percent and one pixel, whichever the neighbour
        return {16, 0};
    Single options[] = {Decompose(std::nextafter(candidate, 0.0f)), Decompose(candidate),
                        Decompose(std::nextafter(candidate, 2.0f))};
    int shift = 0;
    for (const Single& s : options)
        shift = std::max(shift, s.shift);
    // |done/total - m/2^s| scaled by total * 2^shift.
    auto distance = [&](const Single& s) {
        Wide exact = Wide(static_cast<uint64_t>(done)) << shift;
        Wide value = (Wide(s.mantissa) << (shift - s.shift)) * static_cast<uint64_t>(total);
        return exact > value ? exact - value : value - exact;
    };
    const Single* best = &options[0];
    for (const Single& s : options) {
        if (s.mantissa == 0 || s.mantissa > (uint64_t{1} << 24))
            continue;
        Wide d = distance(s), b = distance(*best);
        if (d < b || (d == b && s.mantissa % 2 == 0))
            best = &s;
    }
    Wide m = best->mantissa;
    int s = best->shift;
    int percent = static_cast<int>((m * 100 + (Wide(1) << (s - 1))) >> s);
    int bar = 16 + static_cast<int>((m * 288) >> s);
    return {bar, percent};
}

void ExpectRule(int64_t done, int64_t total) {
    Marks expected = done == 0 ? Marks{16, 0} : Rule(done, total);
    sfx::ProgressMarks got = sfx::MeasureProgress(done, total);
    ASSERT_EQ(got.percent, expected.percent) << done << " of " << total;
    ASSERT_EQ(got.barEnd, expected.barEnd) << done << " of " << total;
}

TEST(Progress, FollowsTheRuleForEverySmallPair) {
    for (int64_t total = 1; total <= 300; ++total)
        for (int64_t done = 0; done <= total; ++done)
            ExpectRule(done, total);
}

// Large totals, at and around every place where the percentage or the bar's end changes.
TEST(Progress, FollowsTheRuleForLargeTotals) {
    const int64_t totals[] = {
        (int64_t{1} << 31) - 1, int64_t{1} << 31,       (int64_t{1} << 31) + 1,
        (int64_t{1} << 32) - 1, (int64_t{1} << 32) + 3, 3000000000,
        1099511627777,          (int64_t{1} << 62) - 5, INT64_MAX};
    for (int64_t total : totals) {
        for (int steps : {100, 200, 288}) {
            for (int k = 0; k <= steps; ++k) {
                auto at = static_cast<int64_t>(Wide(static_cast<uint64_t>(total)) * k / steps);
                for (int64_t delta = -2; delta <= 2; ++delta)
                    if (delta < 0 ? at >= -delta : total - at >= delta)
                        ExpectRule(at + delta, total);
            }
        }
        for (int64_t done : {int64_t{1}, int64_t{1000}, total / 3, total - 1, total})
            ExpectRule(done, total);
    }
    std::mt19937_64 random(11);
    for (int i = 0; i < 200000; ++i) {
        int64_t total = static_cast<int64_t>(random() >> (1 + random() % 63)) + 1;
        ExpectRule(static_cast<int64_t>(random() % static_cast<uint64_t>(total + 1)), total);
    }
}

TEST(Progress, StaysInsideTheBar) {
    EXPECT_EQ(BarEnd(-5, 100), 16);
    EXPECT_EQ(Percent(-5, 100), "0 %");
    EXPECT_EQ(BarEnd(150, 100), 304);
    EXPECT_EQ(Percent(150, 100), "100 %");
    EXPECT_EQ(BarEnd(5, -1), 16);
}

} // namespace

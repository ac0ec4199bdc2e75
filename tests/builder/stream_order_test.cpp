// Content sketches and the order that places entries after the ones they repeat.
#include "stream_order.h"

#include "lzma_testdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace {

using fpackrig::ContentSketch;
using fpackrig::SimilarityOrder;
using fpackrig::SketchedEntry;
using lztest::RandomBytes;

std::vector<uint64_t> SketchOf(const std::vector<uint8_t>& data, size_t piece = SIZE_MAX) {
    ContentSketch sketch;
    for (size_t at = 0; at < data.size(); at += std::min(piece, data.size() - at))
        sketch.Update(data.data() + at, std::min(piece, data.size() - at));
    return sketch.Take();
}

size_t Shared(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    std::vector<uint64_t> both;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
    return both.size();
}

// Shared stretches give shared features wherever they lie, and nothing else does; the pieces
// the data arrives in change nothing.
TEST(ContentSketch, SharedDataGivesSharedFeaturesWhereverItLies) {
    std::vector<uint8_t> common = RandomBytes(256 << 10, 1);
    std::vector<uint8_t> first = RandomBytes(100 << 10, 2);
    first.insert(first.end(), common.begin(), common.end());
    std::vector<uint8_t> second = common;
    std::vector<uint8_t> tail = RandomBytes(300 << 10, 3);
    second.insert(second.end(), tail.begin(), tail.end());

    std::vector<uint64_t> ofCommon = SketchOf(common);
    EXPECT_GT(ofCommon.size(), 100u); // about one in 1 KiB
    EXPECT_LT(ofCommon.size(), 400u);
    EXPECT_TRUE(std::is_sorted(ofCommon.begin(), ofCommon.end()));
    EXPECT_GT(Shared(SketchOf(first), SketchOf(second)), ofCommon.size() * 9 / 10);
    EXPECT_EQ(Shared(SketchOf(RandomBytes(100 << 10, 2)), SketchOf(tail)), 0u);
    for (size_t piece : {1, 63, 4096, 65537})
        EXPECT_EQ(SketchOf(first, piece), SketchOf(first)) << piece;
}

// A run of one byte or a short repeating pattern keeps the rolling hash on a cycle; the sketch
// must not grow with the data then.
TEST(ContentSketch, RepeatingDataStaysSmall) {
    std::vector<uint8_t> zeros(16 << 20, 0);
    EXPECT_LE(SketchOf(zeros, 1 << 20).size(), 64u);
    std::vector<uint8_t> pattern(16 << 20);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>("ab\x01\xFF\x90"[i % 5]);
    EXPECT_LE(SketchOf(pattern, 1 << 20).size(), 64u);
    ContentSketch sketch;
    EXPECT_TRUE(sketch.Take().empty());
}

SketchedEntry Entry(uint64_t size, std::vector<uint64_t> features) {
    std::sort(features.begin(), features.end());
    return {size, std::move(features)};
}

TEST(SimilarityOrder, KeepsTheGroupedOrderWhenAllFitsTheDictionary) {
    std::vector<SketchedEntry> entries = {Entry(10, {1}), Entry(10, {}), Entry(10, {1})};
    EXPECT_EQ(SimilarityOrder(entries, 30), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(SimilarityOrder(entries, 29), (std::vector<uint32_t>{0, 2, 1}));
    EXPECT_TRUE(SimilarityOrder({}, 0).empty());
}

// An entry follows the one it shares the most with, while that one is within seven eighths of
// the dictionary; otherwise the grouped order goes on.
TEST(SimilarityOrder, FollowsWhatTheWindowHolds) {
    std::vector<SketchedEntry> entries = {Entry(10, {1, 2, 3}), Entry(10, {1, 2}), Entry(10, {}),
                                          Entry(10, {3})};
    // Entry 1 shares two features with entry 0, entry 3 one. With entries 0 and 1 in the window
    // entry 3 comes next; with only entry 1 there, its feature is gone.
    EXPECT_EQ(SimilarityOrder(entries, 32), (std::vector<uint32_t>{0, 1, 3, 2}));
    EXPECT_EQ(SimilarityOrder(entries, 16), (std::vector<uint32_t>{0, 1, 2, 3}));
    // The most shared wins, then the lower index.
    std::vector<SketchedEntry> ties = {Entry(1, {1, 2}), Entry(1, {}), Entry(1, {1}), Entry(1, {2}),
                                       Entry(1, {1, 2})};
    EXPECT_EQ(SimilarityOrder(ties, 4), (std::vector<uint32_t>{0, 4, 2, 3, 1}));
}

// A feature that too many entries share does not pull any of them forward.
TEST(SimilarityOrder, IgnoresFeaturesThatManyEntriesShare) {
    std::vector<SketchedEntry> entries = {Entry(1, {7, 9}), Entry(1, {})};
    for (int i = 0; i < 70; ++i)
        entries.push_back(Entry(1, {7}));
    entries.push_back(Entry(1, {9}));
    std::vector<uint32_t> order = SimilarityOrder(entries, 8);
    ASSERT_EQ(order.size(), entries.size());
    EXPECT_EQ(order[1], 72u);
    EXPECT_EQ(order[2], 1u);
    std::vector<uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (uint32_t i = 0; i < sorted.size(); ++i)
        ASSERT_EQ(sorted[i], i);
    // Keeping a window responsive changes nothing in the order.
    int pumped = 0;
    EXPECT_EQ(SimilarityOrder(entries, 8, [&pumped] { ++pumped; }), order);
    EXPECT_GE(pumped, 1);
}

// The order's rule computed afresh at every step, without the incremental bookkeeping: the
// window's entries, the features they hold, every waiting entry's score.
std::vector<uint32_t> ReferenceOrder(const std::vector<SketchedEntry>& entries,
                                     uint64_t dictionary) {
    const uint64_t window = dictionary - dictionary / 8;
    uint64_t total = 0;
    std::map<uint64_t, size_t> holders;
    for (const SketchedEntry& entry : entries) {
        total += entry.size;
        for (uint64_t f : entry.features)
            ++holders[f];
    }
    std::vector<uint32_t> order;
    if (total <= dictionary) {
        for (uint32_t e = 0; e < entries.size(); ++e)
            order.push_back(e);
        return order;
    }
    std::vector<bool> placed(entries.size());
    std::deque<uint32_t> recent;
    uint64_t recentBytes = 0;
    while (order.size() < entries.size()) {
        std::set<uint64_t> held;
        for (uint32_t e : recent)
            for (uint64_t f : entries[e].features)
                if (holders[f] >= 2 && holders[f] <= 64)
                    held.insert(f);
        uint32_t best = 0;
        size_t bestScore = 0;
        for (uint32_t e = 0; e < entries.size(); ++e) {
            size_t score = 0;
            for (uint64_t f : entries[e].features)
                score += held.count(f);
            if (!placed[e] && score > bestScore)
                best = e, bestScore = score;
        }
        if (bestScore == 0)
            best = static_cast<uint32_t>(std::find(placed.begin(), placed.end(), false) -
                                         placed.begin());
        placed[best] = true;
        order.push_back(best);
        recent.push_back(best);
        recentBytes += entries[best].size;
        while (recentBytes > window && recent.size() > 1) {
            recentBytes -= entries[recent.front()].size;
            recent.pop_front();
        }
    }
    return order;
}

// Random trees where features are shared by few, by many and by too many entries, and entries
// of all sizes come into the window and leave it: the incremental scores must pick what a
// fresh count picks, step by step.
TEST(SimilarityOrder, AgreesWithTheRuleCountedAfresh) {
    std::mt19937_64 random(5);
    for (int round = 0; round < 40; ++round) {
        const size_t count = 20 + random() % 200;
        const uint64_t pool = 4 + random() % (count * 2);
        std::vector<SketchedEntry> entries(count);
        for (SketchedEntry& entry : entries) {
            entry.size = 1 + random() % 64;
            std::vector<uint64_t> features;
            for (size_t n = random() % 12; n > 0; --n)
                features.push_back(random() % pool);
            std::sort(features.begin(), features.end());
            features.erase(std::unique(features.begin(), features.end()), features.end());
            entry = Entry(entry.size, std::move(features));
        }
        const uint64_t dictionary = 8 + random() % (count * 16);
        EXPECT_EQ(SimilarityOrder(entries, dictionary), ReferenceOrder(entries, dictionary))
            << "round " << round;
    }
}

} // namespace

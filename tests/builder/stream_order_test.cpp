// Content sketches and the order that places entries after the ones they repeat.
#include "stream_order.h"

#include "lzma_testdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
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

} // namespace

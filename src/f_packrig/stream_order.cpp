// Sketches of entries' content and the order that places each entry after those it repeats.
#include "stream_order.h"

#include <algorithm>
#include <array>
#include <deque>
#include <numeric>
#include <utility>

namespace fpackrig {

namespace {

// Anchors where the rolling hash's top 10 bits are zero: once in 1 KiB on average. Those bits
// depend on the last 55 to 64 bytes.
constexpr int kAnchorShift = 54;
// No anchor closer than this to the last one: a run of one byte or a short repeating pattern
// keeps the rolling hash on a cycle, which would otherwise anchor at every turn.
constexpr uint64_t kLeastAnchorGap = 256;
// Features kept while the sketch is small; beyond, duplicates are dropped whenever the count
// has doubled, which bounds the memory of data that repeats itself.
constexpr size_t kCompactFrom = 4096;
// A feature shared by more entries than this is left out: it would be in the window most of
// the time anyway, and following it would touch every entry that holds it at each step.
constexpr size_t kMostSharing = 64;
// Entries placed between two calls of the caller's pump.
constexpr size_t kPumpEvery = 1024;
// Stale keys tolerated beyond twice the current ones before the heap is rebuilt.
constexpr size_t kLeastRebuild = 64;

constexpr std::array<uint64_t, 256> MakeGearTable() {
    std::array<uint64_t, 256> table{};
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint64_t& value : table) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        value = state;
    }
    return table;
}

constexpr std::array<uint64_t, 256> kGear = MakeGearTable();

uint64_t Mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

void SortUnique(std::vector<uint64_t>& values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

// Features shared by 2 to kMostSharing entries, numbered densely: each entry's features and
// each feature's entries, as offsets into flat lists.
struct SharedFeatures {
    std::vector<size_t> entryStart; // per entry, into entryFeatures
    std::vector<uint32_t> entryFeatures;
    std::vector<size_t> featureStart; // per feature, into featureEntries
    std::vector<uint32_t> featureEntries;
};

SharedFeatures FindSharedFeatures(const std::vector<SketchedEntry>& entries) {
    std::vector<std::pair<uint64_t, uint32_t>> all;
    for (uint32_t e = 0; e < entries.size(); ++e)
        for (uint64_t f : entries[e].features)
            all.emplace_back(f, e);
    std::sort(all.begin(), all.end());
    SharedFeatures shared;
    std::vector<std::pair<uint32_t, uint32_t>> byEntry; // (entry, feature)
    shared.featureStart.push_back(0);
    for (size_t run = 0; run < all.size();) {
        size_t end = run;
        while (end < all.size() && all[end].first == all[run].first)
            ++end;
        if (end - run >= 2 && end - run <= kMostSharing) {
            uint32_t id = static_cast<uint32_t>(shared.featureStart.size() - 1);
            for (size_t i = run; i < end; ++i) {
                shared.featureEntries.push_back(all[i].second);
                byEntry.emplace_back(all[i].second, id);
            }
            shared.featureStart.push_back(shared.featureEntries.size());
        }
        run = end;
    }
    all = {};
    std::sort(byEntry.begin(), byEntry.end());
    shared.entryStart.assign(entries.size() + 1, 0);
    for (const auto& [entry, feature] : byEntry) {
        ++shared.entryStart[entry + 1];
        shared.entryFeatures.push_back(feature);
    }
    std::partial_sum(shared.entryStart.begin(), shared.entryStart.end(), shared.entryStart.begin());
    return shared;
}

// The greedy walk: scores count each waiting entry's features that the window holds; the best
// waiting entry is the current key at the top of `ranked_`, by score, then by index.
class Placement {
  public:
    Placement(const std::vector<SketchedEntry>& entries, const SharedFeatures& shared,
              uint64_t window)
        : entries_(entries), shared_(shared), window_(window), placed_(entries.size()),
          score_(entries.size()), inWindow_(shared.featureStart.size() - 1) {}

    std::vector<uint32_t> Run(const std::function<void()>& pump) {
        std::vector<uint32_t> order;
        order.reserve(entries_.size());
        uint32_t nextInOrder = 0;
        while (order.size() < entries_.size()) {
            if (pump && order.size() % kPumpEvery == 0)
                pump();
            uint32_t entry;
            if (DropStaleTop()) {
                entry = EntryOf(ranked_.front());
            } else {
                while (placed_[nextInOrder])
                    ++nextInOrder;
                entry = nextInOrder;
            }
            Place(entry);
            order.push_back(entry);
        }
        return order;
    }

  private:
    void Place(uint32_t entry) {
        Rank(entry, 0);
        placed_[entry] = true;
        for (size_t i = shared_.entryStart[entry]; i < shared_.entryStart[entry + 1]; ++i)
            if (inWindow_[shared_.entryFeatures[i]]++ == 0)
                Rescore(shared_.entryFeatures[i], +1);
        recent_.push_back(entry);
        recentBytes_ += entries_[entry].size;
        while (recentBytes_ > window_ && recent_.size() > 1) {
            uint32_t old = recent_.front();
            recent_.pop_front();
            recentBytes_ -= entries_[old].size;
            for (size_t i = shared_.entryStart[old]; i < shared_.entryStart[old + 1]; ++i)
                if (--inWindow_[shared_.entryFeatures[i]] == 0)
                    Rescore(shared_.entryFeatures[i], -1);
        }
    }

    void Rescore(uint32_t feature, int change) {
        for (size_t i = shared_.featureStart[feature]; i < shared_.featureStart[feature + 1]; ++i) {
            uint32_t entry = shared_.featureEntries[i];
            if (!placed_[entry])
                Rank(entry, score_[entry] + change);
        }
    }

    // A key orders by score, then by the lower index: (score << 32) | ~entry.
    static uint64_t KeyOf(uint32_t entry, uint32_t score) {
        return uint64_t{score} << 32 | (UINT32_MAX - entry);
    }
    static uint32_t EntryOf(uint64_t key) { return UINT32_MAX - static_cast<uint32_t>(key); }
    bool IsCurrent(uint64_t key) const {
        uint32_t entry = EntryOf(key);
        return !placed_[entry] && score_[entry] == key >> 32;
    }

    // A changed score adds a key and leaves the entry's old one behind as stale; stale keys
    // are dropped when they reach the top, and all at once when they outnumber current ones.
    void Rank(uint32_t entry, uint32_t score) {
        waiting_ += (score > 0) - (score_[entry] > 0);
        score_[entry] = score;
        if (score == 0)
            return;
        ranked_.push_back(KeyOf(entry, score));
        std::push_heap(ranked_.begin(), ranked_.end());
        if (ranked_.size() > 2 * waiting_ + kLeastRebuild)
            Rebuild();
    }

    void Rebuild() {
        std::erase_if(ranked_, [this](uint64_t key) { return !IsCurrent(key); });
        SortUnique(ranked_);
        std::make_heap(ranked_.begin(), ranked_.end());
    }

    // Whether a waiting entry has a score; its key is then at the top.
    bool DropStaleTop() {
        while (!ranked_.empty() && !IsCurrent(ranked_.front())) {
            std::pop_heap(ranked_.begin(), ranked_.end());
            ranked_.pop_back();
        }
        return !ranked_.empty();
    }

    const std::vector<SketchedEntry>& entries_;
    const SharedFeatures& shared_;
    const uint64_t window_;
    std::vector<bool> placed_;
    std::vector<uint32_t> score_;
    std::vector<uint32_t> inWindow_; // per feature: placed entries in the window that hold it
    std::vector<uint64_t> ranked_;   // a max-heap of keys, some of them stale
    size_t waiting_ = 0;             // entries not placed whose score is above 0
    std::deque<uint32_t> recent_;
    uint64_t recentBytes_ = 0;
};

} // namespace

void ContentSketch::Update(const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        rolling_ = (rolling_ << 1) + kGear[data[i]];
        if (++sinceAnchor_ >= kLeastAnchorGap && (rolling_ >> kAnchorShift) == 0) {
            features_.push_back(Mix(rolling_));
            sinceAnchor_ = 0;
            if (features_.size() >= kCompactFrom && features_.size() >= 2 * compacted_)
                Compact();
        }
    }
}

void ContentSketch::Compact() {
    SortUnique(features_);
    compacted_ = features_.size();
}

std::vector<uint64_t> ContentSketch::Take() {
    SortUnique(features_);
    std::vector<uint64_t> taken = std::move(features_);
    *this = ContentSketch();
    return taken;
}

std::vector<uint32_t> SimilarityOrder(const std::vector<SketchedEntry>& entries,
                                      uint64_t dictionary, const std::function<void()>& pump) {
    uint64_t total = 0;
    for (const SketchedEntry& entry : entries)
        total += entry.size;
    if (total <= dictionary) {
        std::vector<uint32_t> order(entries.size());
        std::iota(order.begin(), order.end(), 0u);
        return order;
    }
    SharedFeatures shared = FindSharedFeatures(entries);
    return Placement(entries, shared, dictionary - dictionary / 8).Run(pump);
}

} // namespace fpackrig

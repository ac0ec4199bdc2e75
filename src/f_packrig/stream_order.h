// The order of a compressed stream's entries beyond the grouping by name. The decoder's
// dictionary holds only the last 64 MiB of the stream, so on a larger tree an entry compresses
// best right after the entries it repeats: each entry's content is sketched while it is read,
// and the stream then takes, each time, the entry that shares the most with what the
// dictionary holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace fpackrig {

// Content-defined features of a file's data: where a rolling hash of the last 64 bytes meets a
// condition that holds about once in 1 KiB (and at least 256 bytes after the last such place),
// a hash of those bytes. A stretch of data that two files share gives both the same features,
// wherever it lies in each; the sketch does not depend on how the data arrives in pieces.
class ContentSketch {
  public:
    void Update(const uint8_t* data, size_t count);
    // The features of the data so far, sorted, each once; the sketch then starts over.
    std::vector<uint64_t> Take();

  private:
    void Compact();

    uint64_t rolling_ = 0;
    uint64_t sinceAnchor_ = 0;
    size_t compacted_ = 0; // features after the last compaction
    std::vector<uint64_t> features_;
};

struct SketchedEntry {
    uint64_t size = 0;              // bytes of data
    std::vector<uint64_t> features; // as ContentSketch::Take gives them
};

// The stream's order of `entries`, which come in the grouped order, as indexes into them, for
// a stream whose dictionary is `dictionary` bytes. The first entry stays first. Each next one
// is the entry that shares the most features with the entries placed within the last seven
// eighths of the dictionary (the lowest index among equals), or the first one not yet placed
// when none shares any; the margin leaves room for the entry's own data. Features that many
// entries share tell little apart and are left out. When all the data fits in the dictionary
// the grouped order stays as it is. Integer arithmetic and fixed tie-breaks only, so that both
// builders order a tree alike. `pump`, when given, is called now and then, so that a window
// stays responsive while a large tree is ordered.
std::vector<uint32_t> SimilarityOrder(const std::vector<SketchedEntry>& entries,
                                      uint64_t dictionary, const std::function<void()>& pump = {});

} // namespace fpackrig

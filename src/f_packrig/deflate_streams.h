// Deflate streams inside a file, builder side: finding them (entries of zip-family files, gzip
// members, the zlib stream of a PNG image across its IDAT chunks), inflating them, and finding
// the zlib settings that deflate each back byte for byte, so that the file can be stored as
// pieces (deflate_pieces.h) whose inflated bytes compress far better than the deflated ones.
#pragma once

#include "deflate_rebuild.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fpackrig {

// The zlib settings of a deflate piece.
struct DeflateSettings {
    uint8_t level = 6;
    uint8_t memLevel = 8;
    int8_t windowBits = -15;
    uint8_t strategy = 0;
    bool operator==(const DeflateSettings&) const = default;
};

// A file as pieces, with what its deflate pieces hold.
struct PiecedFile {
    std::string stored;         // the pieces, one after the other
    uint32_t streams = 0;       // deflate pieces
    uint64_t deflatedBytes = 0; // bytes of the file that they write
    uint64_t inflatedBytes = 0; // bytes that they store in place of those
};

// Finds the deflate streams of files and the settings that give them back. It keeps one
// rebuilder (the runtime module's code, which checks every try) and the settings that matched
// lately, which the next streams try first: the files of one tree mostly come from one program.
class DeflateFinder {
  public:
    DeflateFinder();
    ~DeflateFinder();
    DeflateFinder(const DeflateFinder&) = delete;
    DeflateFinder& operator=(const DeflateFinder&) = delete;

    // `file` as pieces when at least one of its streams comes back from zlib; nothing when none
    // does, or when the pieces would pass `largestStored` bytes.
    std::optional<PiecedFile> Pieces(std::string_view file, uint64_t largestStored);

    // Appends the piece of one stream: its header and inflated bytes.
    static void AppendDeflatePiece(std::string& out, const DeflateSettings& settings,
                                   std::string_view inflated, uint32_t deflatedSize,
                                   uint32_t chunkSize);

    struct Stream;

  private:
    bool Reproduces(const Stream& stream, std::string_view file, const DeflateSettings& settings);
    std::optional<DeflateSettings> FindSettings(const Stream& stream, std::string_view file);

    std::unique_ptr<payload::Rebuilder> rebuilder_;
    std::vector<DeflateSettings> recent_; // most recent first
    std::string trial_;                   // the piece being tried
};

} // namespace fpackrig

// A checked view of a Windows executable's headers and section table. Every offset that the
// resource reader and writer take from the file is checked against the buffer before use.
#pragma once

#include "pe_format.h"

#include <optional>
#include <span>
#include <vector>

namespace prresources::pe {

struct PeImage {
    std::span<const uint8_t> bytes;
    uint64_t optionalHeaderOffset = 0;
    bool pe32Plus = false;
    uint32_t numberOfDirectories = 0;
    uint64_t directoriesOffset = 0;
    uint64_t sectionTableOffset = 0;
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint32_t sizeOfHeaders = 0;
    std::vector<SectionHeader> sections;

    // The data directory `index`, or an empty one when the header has fewer directories.
    DataDirectory Directory(uint32_t index) const;
    // The bytes that a section takes in memory: its virtual extent rounded up to the section
    // alignment, as the loader maps it. Raw data past a virtual size that was not updated
    // (some resource editors leave it stale) is still mapped and read.
    uint64_t MappedExtent(const SectionHeader& section) const;
    // The section whose mapped range holds `rva`, as an index into `sections`.
    std::optional<size_t> SectionOf(uint32_t rva) const;
    // The file offset of `size` bytes at `rva`, when they all lie in one section's raw data
    // and mapped range.
    std::optional<uint64_t> RvaToOffset(uint32_t rva, uint32_t size) const;
};

// Parses the headers of an executable image; nothing when they are missing or inconsistent.
std::optional<PeImage> ParsePeImage(std::span<const uint8_t> bytes);

// The file offset at which a section's raw data ends, and that of the last raw data.
uint64_t RawEnd(const SectionHeader& section);
uint64_t ImageEnd(const PeImage& image);

} // namespace prresources::pe

// The resource table of a Windows executable held in memory: type, name and language, each
// resource's bytes, read from an image's resource directory and written back as a new one.
#pragma once

#include "pe_image.h"

#include <compare>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace prresources {

// A resource type or name: a 16-bit ID or a UTF-16 text. Text names come first, in ascending
// order of their code units, then IDs in ascending order, as in a resource directory.
struct ResourceKey {
    bool isId = true;
    uint16_t id = 0;
    std::u16string text;

    static ResourceKey Id(uint16_t value) { return {true, value, {}}; }
    static ResourceKey Text(std::u16string value) { return {false, 0, std::move(value)}; }

    std::strong_ordering operator<=>(const ResourceKey& other) const;
    bool operator==(const ResourceKey& other) const = default;
};

struct ResourceData {
    std::vector<uint8_t> bytes;
    uint32_t codePage = 0;

    bool operator==(const ResourceData& other) const = default;
};

using LanguageMap = std::map<uint16_t, ResourceData>;
using NameMap = std::map<ResourceKey, LanguageMap>;
using ResourceTable = std::map<ResourceKey, NameMap>;

// The names of each type in the order in which a resource directory holds them. The platform's
// enumeration reports names in this order; a well-made file keeps it sorted, others need not.
using NameOrder = std::map<ResourceKey, std::vector<ResourceKey>>;

// Reads an image's resource directory, and into `order` (when given) its names in directory
// order. An image without one has an empty table; a directory that is malformed in any way (out
// of bounds, shared or cyclic subdirectories, a fourth level, data outside the sections) gives
// nothing.
std::optional<ResourceTable> ReadResources(const pe::PeImage& image, NameOrder* order = nullptr);

// The table without types and names that have nothing left in them.
ResourceTable Pruned(const ResourceTable& table);

// Lays out `table` as the contents of a resource section loaded at `sectionRva`: directories,
// data entries, names, then the data, each aligned. Empty types and names are left out.
// Nothing when the result would not fit the directory's 31-bit offsets.
std::optional<std::vector<uint8_t>> BuildResourceSection(const ResourceTable& table,
                                                         uint32_t sectionRva);

} // namespace prresources

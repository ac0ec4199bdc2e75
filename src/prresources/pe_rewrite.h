// Rewrites a Windows executable with a new resource table in its resource section.
#pragma once

#include "resource_table.h"

#include <optional>
#include <span>
#include <vector>

namespace prresources {

// The image with its resource section replaced by `table`. The section grows or shrinks in the
// file and in memory; sections behind it move along, in the file always, in memory only when
// nothing can refer to them by address (base relocations). Headers are updated: section sizes,
// the resource and base-relocation directories, SizeOfImage, SizeOfInitializedData and a
// non-zero checksum. Bytes behind the last section's raw data stay behind it. Nothing when the
// image cannot be rewritten safely: no resource section of its own, a resource section that
// shares its space with other directories, sections that would have to move although other
// data may point into them, or a signed image.
std::optional<std::vector<uint8_t>> ReplaceResources(std::span<const uint8_t> image,
                                                     const ResourceTable& table);

// The PE checksum of `image`, whose checksum field is at `checksumOffset`.
uint32_t ImageChecksum(std::span<const uint8_t> image, uint64_t checksumOffset);

} // namespace prresources

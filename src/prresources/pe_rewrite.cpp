// Rewriting a Windows executable around a new resource section.
#include "pe_rewrite.h"

#include <algorithm>

namespace prresources {
namespace {

using namespace pe;

constexpr uint32_t kDirDebug = 6;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;
constexpr uint16_t kRelocDir64 = 10;

uint64_t VirtualExtent(const SectionHeader& section) {
    return section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData;
}

// Whether a directory's bytes touch the range [start, end) of RVAs.
bool Overlaps(const DataDirectory& directory, uint64_t start, uint64_t end) {
    if (directory.VirtualAddress == 0) {
        return false;
    }
    uint64_t first = directory.VirtualAddress;
    uint64_t last = first + std::max<uint64_t>(directory.Size, 1);
    return first < end && start < last;
}

// Each section ends in memory before the next one starts, as the loader requires. Otherwise an
// address may belong to another section than the one at that address, and the resource
// directory's address to another section than the one rewritten.
bool SectionsFollowInMemory(const PeImage& image) {
    for (size_t i = 1; i < image.sections.size(); ++i) {
        const SectionHeader& previous = image.sections[i - 1];
        if (previous.VirtualAddress + image.MappedExtent(previous) >
            image.sections[i].VirtualAddress) {
            return false;
        }
    }
    return true;
}

bool Inside(uint64_t value, uint64_t start, uint64_t end) {
    return value >= start && value < end;
}

// Whether the image's base relocations allow the RVA range [start, end) to move: no relocated
// place lies in it and no relocated address points into it. Relocation kinds that hold only part
// of an address cannot be checked and count as a reference.
bool RelocationsSpare(const PeImage& image, uint64_t start, uint64_t end) {
    DataDirectory directory = image.Directory(kDirBaseReloc);
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return true;
    }
    auto offset = image.RvaToOffset(directory.VirtualAddress, directory.Size);
    if (!offset) {
        return false;
    }
    uint64_t imageBase =
        image.pe32Plus ? ReadAt<uint64_t>(image.bytes, image.optionalHeaderOffset + kOptImageBase64)
                             .value_or(0)
                       : ReadAt<uint32_t>(image.bytes, image.optionalHeaderOffset + kOptImageBase32)
                             .value_or(0);
    auto blocks = image.bytes.subspan(*offset, directory.Size);
    uint64_t position = 0;
    while (position + sizeof(BaseRelocationBlock) <= blocks.size()) {
        auto block = *ReadAt<BaseRelocationBlock>(blocks, position);
        if (block.SizeOfBlock < sizeof(BaseRelocationBlock) ||
            block.SizeOfBlock > blocks.size() - position) {
            return false;
        }
        for (uint64_t at = position + 8; at + 2 <= position + block.SizeOfBlock; at += 2) {
            uint16_t item = *ReadAt<uint16_t>(blocks, at);
            uint16_t kind = item >> 12;
            uint64_t place = uint64_t{block.VirtualAddress} + (item & 0xFFF);
            if (kind == kRelocAbsolute) {
                continue;
            }
            if ((kind != kRelocHighLow && kind != kRelocDir64) || Inside(place, start, end) ||
                place > 0xFFFFFFFF) {
                return false;
            }
            uint32_t width = kind == kRelocHighLow ? 4 : 8;
            auto valueOffset = image.RvaToOffset(static_cast<uint32_t>(place), width);
            if (!valueOffset) {
                continue; // a place without file bytes holds zero until the loader runs
            }
            uint64_t value = kind == kRelocHighLow ? *ReadAt<uint32_t>(image.bytes, *valueOffset)
                                                   : *ReadAt<uint64_t>(image.bytes, *valueOffset);
            if (Inside(value - imageBase, start, end)) {
                return false;
            }
        }
        position += block.SizeOfBlock;
    }
    return true;
}

// Whether the sections in the RVA range [start, end) may get new addresses: they hold nothing
// that a directory other than the base relocations names, not the entry point, and nothing
// that relocated code or data points at.
bool CanMoveInMemory(const PeImage& image, uint64_t start, uint64_t end) {
    for (uint32_t index = 0; index < image.numberOfDirectories; ++index) {
        if (index == kDirSecurity || index == kDirBaseReloc) {
            continue;
        }
        if (Overlaps(image.Directory(index), start, end)) {
            return false;
        }
    }
    DataDirectory relocations = image.Directory(kDirBaseReloc);
    if (Overlaps(relocations, start, end) &&
        (relocations.VirtualAddress < start ||
         uint64_t{relocations.VirtualAddress} + relocations.Size > end)) {
        return false;
    }
    auto entry =
        ReadAt<uint32_t>(image.bytes, image.optionalHeaderOffset + kOptAddressOfEntryPoint);
    if (!entry || Inside(*entry, start, end)) {
        return false;
    }
    return RelocationsSpare(image, start, end);
}

// Whether debug data lies at file offsets from `offset` on, where it would move unseen.
bool DebugDataFrom(const PeImage& image, uint64_t offset) {
    DataDirectory directory = image.Directory(kDirDebug);
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return false;
    }
    auto start = image.RvaToOffset(directory.VirtualAddress, directory.Size);
    if (!start) {
        return true;
    }
    constexpr uint64_t kEntrySize = 28;
    constexpr uint64_t kPointerToRawData = 24;
    for (uint64_t at = 0; at + kEntrySize <= directory.Size; at += kEntrySize) {
        if (*ReadAt<uint32_t>(image.bytes, *start + at + kPointerToRawData) >= offset) {
            return true;
        }
    }
    return false;
}

void WriteDirectory(std::vector<uint8_t>& out, const PeImage& image, uint32_t index,
                    const DataDirectory& value) {
    WriteAt(std::span(out), image.directoriesOffset + uint64_t{index} * 8, value);
}

} // namespace

uint32_t ImageChecksum(std::span<const uint8_t> image, uint64_t checksumOffset) {
    uint64_t sum = 0;
    for (uint64_t at = 0; at < image.size(); at += 2) {
        if (at == checksumOffset || at == checksumOffset + 2) {
            continue;
        }
        uint32_t word = image[at];
        if (at + 1 < image.size()) {
            word |= uint32_t{image[at + 1]} << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + image.size());
}

std::optional<std::vector<uint8_t>> ReplaceResources(std::span<const uint8_t> bytes,
                                                     const ResourceTable& table) {
    auto parsed = ParsePeImage(bytes);
    if (!parsed) {
        return std::nullopt;
    }
    const PeImage& image = *parsed;
    DataDirectory resources = image.Directory(kDirResource);
    DataDirectory security = image.Directory(kDirSecurity);
    if (resources.VirtualAddress == 0 || security.VirtualAddress != 0 || security.Size != 0 ||
        !SectionsFollowInMemory(image)) {
        return std::nullopt;
    }
    auto found = std::find_if(image.sections.begin(), image.sections.end(), [&](const auto& s) {
        return s.VirtualAddress == resources.VirtualAddress;
    });
    if (found == image.sections.end()) {
        return std::nullopt;
    }
    const size_t rsrcIndex = static_cast<size_t>(found - image.sections.begin());
    const SectionHeader rsrc = *found;
    const uint64_t fileAlignment = image.fileAlignment;
    const uint64_t sectionAlignment = image.sectionAlignment;
    const uint64_t oldStart = rsrc.PointerToRawData;
    const uint64_t oldEnd = RawEnd(rsrc);
    const uint64_t headersEnd = image.sectionTableOffset + image.sections.size() * 40;
    if (rsrc.SizeOfRawData == 0 || oldEnd > bytes.size() || oldStart < headersEnd ||
        oldStart < image.sizeOfHeaders) {
        return std::nullopt;
    }

    // The resource section must be the resources' own: no other directory inside it.
    const uint64_t rsrcVa = rsrc.VirtualAddress;
    const uint64_t oldVirtualEnd = AlignUp(rsrcVa + VirtualExtent(rsrc), sectionAlignment);
    for (uint32_t index = 0; index < image.numberOfDirectories; ++index) {
        if (index != kDirResource && index != kDirSecurity &&
            Overlaps(image.Directory(index), rsrcVa, oldVirtualEnd)) {
            return std::nullopt;
        }
    }

    auto content = BuildResourceSection(table, rsrc.VirtualAddress);
    if (!content) {
        return std::nullopt;
    }
    const uint64_t newRaw = AlignUp(content->size(), fileAlignment);
    const uint64_t newEnd = oldStart + newRaw;

    // File layout: raw data behind the resource section moves as one block by rawDelta.
    const uint64_t alignedOldEnd = AlignUp(oldEnd, fileAlignment);
    const int64_t rawDelta =
        static_cast<int64_t>(AlignUp(newEnd, fileAlignment)) - static_cast<int64_t>(alignedOldEnd);
    std::vector<SectionHeader> sections = image.sections;
    for (size_t i = 0; i < sections.size(); ++i) {
        auto& section = sections[i];
        if (i == rsrcIndex) {
            continue;
        }
        if (section.SizeOfRawData == 0) {
            if (section.PointerToRawData >= alignedOldEnd) {
                section.PointerToRawData =
                    static_cast<uint32_t>(section.PointerToRawData + rawDelta);
            }
            continue;
        }
        if (RawEnd(section) > bytes.size()) {
            return std::nullopt;
        }
        if (RawEnd(section) <= oldStart) {
            continue;
        }
        if (section.PointerToRawData < alignedOldEnd) {
            return std::nullopt;
        }
        section.PointerToRawData = static_cast<uint32_t>(section.PointerToRawData + rawDelta);
    }
    const uint64_t tailStart = std::min<uint64_t>(alignedOldEnd, bytes.size());
    const uint64_t tailSize = bytes.size() - tailStart;
    if (rawDelta != 0 && tailSize != 0 && DebugDataFrom(image, alignedOldEnd)) {
        return std::nullopt;
    }
    const uint64_t newTailStart = AlignUp(newEnd, fileAlignment);
    const uint64_t newSize = tailSize != 0 ? newTailStart + tailSize : newEnd;
    if (newSize > 0x7FFFFFFF) {
        return std::nullopt;
    }

    // Memory layout: sections behind the resource section either move with it, when only base
    // relocations live there, or keep their place, the resource section filling the gap.
    uint64_t newVirtualSize = content->size();
    uint64_t nextVa = UINT64_MAX;
    uint64_t laterEnd = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        if (i != rsrcIndex && sections[i].VirtualAddress > rsrcVa) {
            nextVa = std::min<uint64_t>(nextVa, sections[i].VirtualAddress);
            laterEnd = std::max(laterEnd, sections[i].VirtualAddress + VirtualExtent(sections[i]));
        }
    }
    int64_t vaDelta = 0;
    if (nextVa != UINT64_MAX) {
        const uint64_t newVirtualEnd = AlignUp(rsrcVa + newVirtualSize, sectionAlignment);
        if (nextVa < oldVirtualEnd) {
            return std::nullopt;
        }
        if (newVirtualEnd != nextVa && CanMoveInMemory(image, nextVa, laterEnd)) {
            vaDelta = static_cast<int64_t>(newVirtualEnd) - static_cast<int64_t>(nextVa);
        } else if (newVirtualEnd > nextVa) {
            return std::nullopt;
        } else {
            newVirtualSize = nextVa - rsrcVa;
        }
    }
    uint64_t imageEnd = AlignUp(image.sizeOfHeaders, sectionAlignment);
    for (size_t i = 0; i < sections.size(); ++i) {
        auto& section = sections[i];
        if (i != rsrcIndex && section.VirtualAddress > rsrcVa) {
            // A section that would move past the top of the 32-bit address space cannot move.
            const int64_t moved = int64_t{section.VirtualAddress} + vaDelta;
            if (static_cast<uint64_t>(moved) + VirtualExtent(section) > 0xFFFFFFFF) {
                return std::nullopt;
            }
            section.VirtualAddress = static_cast<uint32_t>(moved);
        }
        if (i == rsrcIndex) {
            section.VirtualSize = static_cast<uint32_t>(newVirtualSize);
            section.SizeOfRawData = static_cast<uint32_t>(newRaw);
        }
        imageEnd = std::max(imageEnd, section.VirtualAddress + VirtualExtent(section));
    }
    imageEnd = AlignUp(imageEnd, sectionAlignment);
    if (imageEnd > 0xFFFFFFFF) {
        return std::nullopt;
    }

    std::vector<uint8_t> out(newSize, 0);
    std::copy(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(oldStart), out.begin());
    std::copy(content->begin(), content->end(), out.begin() + static_cast<ptrdiff_t>(oldStart));
    std::copy(bytes.begin() + static_cast<ptrdiff_t>(tailStart), bytes.end(),
              out.begin() + static_cast<ptrdiff_t>(std::min(newTailStart, newSize)));

    for (size_t i = 0; i < sections.size(); ++i) {
        WriteAt(std::span(out), image.sectionTableOffset + i * 40, sections[i]);
    }
    WriteDirectory(out, image, kDirResource,
                   {rsrc.VirtualAddress, static_cast<uint32_t>(content->size())});
    DataDirectory relocations = image.Directory(kDirBaseReloc);
    if (vaDelta != 0 && relocations.VirtualAddress > rsrcVa) {
        relocations.VirtualAddress = static_cast<uint32_t>(relocations.VirtualAddress + vaDelta);
        WriteDirectory(out, image, kDirBaseReloc, relocations);
    }
    const uint64_t symbolTableField = image.optionalHeaderOffset - sizeof(FileHeader) +
                                      offsetof(FileHeader, PointerToSymbolTable);
    uint32_t symbolTable = *ReadAt<uint32_t>(bytes, symbolTableField);
    if (symbolTable >= alignedOldEnd && tailSize != 0) {
        WriteAt(std::span(out), symbolTableField, static_cast<uint32_t>(symbolTable + rawDelta));
    }
    const uint64_t opt = image.optionalHeaderOffset;
    WriteAt(std::span(out), opt + kOptSizeOfImage, static_cast<uint32_t>(imageEnd));
    if ((rsrc.Characteristics & kSectionInitializedData) != 0) {
        int64_t initialized = *ReadAt<uint32_t>(bytes, opt + kOptSizeOfInitializedData);
        initialized += static_cast<int64_t>(newRaw) - rsrc.SizeOfRawData;
        initialized = std::clamp<int64_t>(initialized, 0, 0xFFFFFFFF);
        WriteAt(std::span(out), opt + kOptSizeOfInitializedData,
                static_cast<uint32_t>(initialized));
    }
    if (*ReadAt<uint32_t>(bytes, opt + kOptCheckSum) != 0) {
        WriteAt(std::span(out), opt + kOptCheckSum, ImageChecksum(out, opt + kOptCheckSum));
    }
    return out;
}

} // namespace prresources

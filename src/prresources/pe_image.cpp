// Parsing and checking of a Windows executable's headers and section table.
#include "pe_image.h"

#include <algorithm>

namespace prresources::pe {
namespace {

constexpr uint32_t kPeSignature = 0x00004550; // "PE\0\0"
constexpr uint16_t kDosSignature = 0x5A4D;    // "MZ"
constexpr uint16_t kMaxSections = 96;         // the loader's own limit
constexpr uint32_t kMaxDirectories = 16;

bool IsPowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// The virtual extent of a section: its virtual size, or its raw size when the linker left the
// virtual size at zero.
uint64_t VirtualExtent(const SectionHeader& section) {
    return section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData;
}

} // namespace

uint64_t PeImage::MappedExtent(const SectionHeader& section) const {
    return AlignUp(VirtualExtent(section), sectionAlignment);
}

DataDirectory PeImage::Directory(uint32_t index) const {
    if (index >= numberOfDirectories) {
        return {};
    }
    return *ReadAt<DataDirectory>(bytes, directoriesOffset + uint64_t{index} * 8);
}

std::optional<size_t> PeImage::SectionOf(uint32_t rva) const {
    for (size_t i = 0; i < sections.size(); ++i) {
        const auto& section = sections[i];
        if (rva >= section.VirtualAddress &&
            rva - uint64_t{section.VirtualAddress} < MappedExtent(section)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> PeImage::RvaToOffset(uint32_t rva, uint32_t size) const {
    auto index = SectionOf(rva);
    if (!index) {
        return std::nullopt;
    }
    const auto& section = sections[*index];
    uint64_t inSection = uint64_t{rva} - section.VirtualAddress;
    if (inSection + size > section.SizeOfRawData || inSection + size > MappedExtent(section)) {
        return std::nullopt;
    }
    uint64_t offset = uint64_t{section.PointerToRawData} + inSection;
    if (offset + size > bytes.size()) {
        return std::nullopt;
    }
    return offset;
}

uint64_t RawEnd(const SectionHeader& section) {
    return uint64_t{section.PointerToRawData} + section.SizeOfRawData;
}

uint64_t ImageEnd(const PeImage& image) {
    uint64_t end = 0;
    for (const auto& section : image.sections) {
        if (section.SizeOfRawData != 0 && RawEnd(section) > end) {
            end = RawEnd(section);
        }
    }
    return end;
}

std::optional<PeImage> ParsePeImage(std::span<const uint8_t> bytes) {
    PeImage image;
    image.bytes = bytes;
    auto dosMagic = ReadAt<uint16_t>(bytes, 0);
    auto peOffset = ReadAt<uint32_t>(bytes, 0x3C);
    if (!dosMagic || *dosMagic != kDosSignature || !peOffset) {
        return std::nullopt;
    }
    auto signature = ReadAt<uint32_t>(bytes, *peOffset);
    auto fileHeader = ReadAt<FileHeader>(bytes, uint64_t{*peOffset} + 4);
    if (!signature || *signature != kPeSignature || !fileHeader ||
        fileHeader->NumberOfSections > kMaxSections) {
        return std::nullopt;
    }
    image.optionalHeaderOffset = uint64_t{*peOffset} + 4 + sizeof(FileHeader);
    auto magic = ReadAt<uint16_t>(bytes, image.optionalHeaderOffset);
    if (!magic || (*magic != kMagicPe32 && *magic != kMagicPe32Plus)) {
        return std::nullopt;
    }
    image.pe32Plus = *magic == kMagicPe32Plus;
    const uint64_t opt = image.optionalHeaderOffset;
    size_t countField = image.pe32Plus ? kOptNumberOfRvaAndSizes64 : kOptNumberOfRvaAndSizes32;
    auto count = ReadAt<uint32_t>(bytes, opt + countField);
    auto sectionAlignment = ReadAt<uint32_t>(bytes, opt + kOptSectionAlignment);
    auto fileAlignment = ReadAt<uint32_t>(bytes, opt + kOptFileAlignment);
    auto sizeOfHeaders = ReadAt<uint32_t>(bytes, opt + kOptSizeOfHeaders);
    if (!count || !sectionAlignment || !fileAlignment || !sizeOfHeaders ||
        !IsPowerOfTwo(*sectionAlignment) || !IsPowerOfTwo(*fileAlignment)) {
        return std::nullopt;
    }
    image.sectionAlignment = *sectionAlignment;
    image.fileAlignment = *fileAlignment;
    image.sizeOfHeaders = *sizeOfHeaders;
    image.directoriesOffset = opt + countField + 4;
    image.numberOfDirectories = std::min(*count, kMaxDirectories);
    uint64_t directoriesEnd = image.directoriesOffset + uint64_t{image.numberOfDirectories} * 8;
    if (directoriesEnd > opt + fileHeader->SizeOfOptionalHeader) {
        return std::nullopt;
    }
    image.sectionTableOffset = opt + fileHeader->SizeOfOptionalHeader;
    for (uint16_t i = 0; i < fileHeader->NumberOfSections; ++i) {
        auto section = ReadAt<SectionHeader>(bytes, image.sectionTableOffset + uint64_t{i} * 40);
        if (!section) {
            return std::nullopt;
        }
        image.sections.push_back(*section);
    }
    return image;
}

} // namespace prresources::pe

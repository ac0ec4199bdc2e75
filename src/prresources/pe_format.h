// On-disk structures of a Windows executable (PE/COFF) that the resource reader and writer use,
// with bounds-checked little-endian access to a byte buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace prresources::pe {

static_assert(std::endian::native == std::endian::little, "PE images are read in place");

#pragma pack(push, 1)
struct FileHeader {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};

struct SectionHeader {
    char Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};

struct DataDirectory {
    uint32_t VirtualAddress;
    uint32_t Size;
};

struct ResourceDirectory {
    uint32_t Characteristics;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint16_t NumberOfNamedEntries;
    uint16_t NumberOfIdEntries;
};

struct ResourceDirectoryEntry {
    uint32_t Name;         // high bit: offset of a counted UTF-16 name, else the ID
    uint32_t OffsetToData; // high bit: offset of a subdirectory, else of a data entry
};

struct ResourceDataEntry {
    uint32_t OffsetToData; // an RVA, not an offset into the section
    uint32_t Size;
    uint32_t CodePage;
    uint32_t Reserved;
};

struct BaseRelocationBlock {
    uint32_t VirtualAddress;
    uint32_t SizeOfBlock;
};
#pragma pack(pop)

static_assert(sizeof(FileHeader) == 20);
static_assert(offsetof(FileHeader, NumberOfSections) == 2);
static_assert(offsetof(FileHeader, SizeOfOptionalHeader) == 16);
static_assert(sizeof(SectionHeader) == 40);
static_assert(offsetof(SectionHeader, VirtualSize) == 8);
static_assert(offsetof(SectionHeader, PointerToRawData) == 20);
static_assert(offsetof(SectionHeader, Characteristics) == 36);
static_assert(sizeof(DataDirectory) == 8);
static_assert(sizeof(ResourceDirectory) == 16);
static_assert(offsetof(ResourceDirectory, NumberOfNamedEntries) == 12);
static_assert(sizeof(ResourceDirectoryEntry) == 8);
static_assert(sizeof(ResourceDataEntry) == 16);
static_assert(sizeof(BaseRelocationBlock) == 8);

// Offsets inside the optional header; the fields used here sit at the same place in PE32 and
// PE32+, except the data directories.
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr size_t kOptMagic = 0;
constexpr size_t kOptSizeOfInitializedData = 8;
constexpr size_t kOptAddressOfEntryPoint = 16;
constexpr size_t kOptImageBase32 = 28;
constexpr size_t kOptImageBase64 = 24;
constexpr size_t kOptSectionAlignment = 32;
constexpr size_t kOptFileAlignment = 36;
constexpr size_t kOptSizeOfImage = 56;
constexpr size_t kOptSizeOfHeaders = 60;
constexpr size_t kOptCheckSum = 64;
constexpr size_t kOptNumberOfRvaAndSizes32 = 92;
constexpr size_t kOptNumberOfRvaAndSizes64 = 108;

constexpr uint32_t kDirResource = 2;
constexpr uint32_t kDirSecurity = 4;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kSectionInitializedData = 0x40;
constexpr uint32_t kHighBit = 0x80000000u;

// Reads a T at `offset` of `bytes`, or nothing when it does not fit.
template <typename T> std::optional<T> ReadAt(std::span<const uint8_t> bytes, uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

template <typename T> void WriteAt(std::span<uint8_t> bytes, uint64_t offset, const T& value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

// Rounds up to a power-of-two alignment; the caller keeps values far below 2^63.
constexpr uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

} // namespace prresources::pe

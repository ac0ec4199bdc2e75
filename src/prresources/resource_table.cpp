// Reading and laying out a resource directory: three levels (type, name, language) of
// directories whose leaves are data entries pointing at each resource's bytes by RVA.
#include "resource_table.h"

#include <algorithm>
#include <set>

namespace prresources {

std::strong_ordering ResourceKey::operator<=>(const ResourceKey& other) const {
    if (isId != other.isId) {
        return isId ? std::strong_ordering::greater : std::strong_ordering::less;
    }
    if (isId) {
        return id <=> other.id;
    }
    return text <=> other.text;
}

namespace {

using namespace pe;

constexpr uint64_t kDataAlignment = 8;

// Walks one resource directory tree. Each subdirectory and each data entry may be reached only
// once, which rules out cycles and bounds the work by the section's size; the bytes copied out
// are bounded by a multiple of the file's size.
class DirectoryReader {
  public:
    DirectoryReader(const PeImage& image, std::span<const uint8_t> section)
        : image_(image), section_(section),
          dataBudget_(uint64_t{4} * image.bytes.size() + (uint64_t{1} << 20)) {}

    std::optional<ResourceTable> ReadTable(NameOrder* order) {
        ResourceTable table;
        auto types = ReadEntries(0);
        if (!types) {
            return std::nullopt;
        }
        for (const auto& [type, typeEntry] : *types) {
            if (!IsSubdirectory(typeEntry)) {
                return std::nullopt;
            }
            auto names = ReadEntries(typeEntry.OffsetToData & ~kHighBit);
            if (!names) {
                return std::nullopt;
            }
            for (const auto& [name, nameEntry] : *names) {
                if (!IsSubdirectory(nameEntry) ||
                    !ReadLanguages(nameEntry.OffsetToData & ~kHighBit, table[type][name])) {
                    return std::nullopt;
                }
                if (order != nullptr) {
                    NoteOnce((*order)[type], name);
                }
            }
        }
        return table;
    }

  private:
    using Entries = std::vector<std::pair<ResourceKey, ResourceDirectoryEntry>>;

    static void NoteOnce(std::vector<ResourceKey>& names, const ResourceKey& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(name);
        }
    }

    static bool IsSubdirectory(const ResourceDirectoryEntry& entry) {
        return (entry.OffsetToData & kHighBit) != 0;
    }

    std::optional<Entries> ReadEntries(uint32_t offset) {
        if (!visited_.insert(offset).second) {
            return std::nullopt;
        }
        auto directory = ReadAt<ResourceDirectory>(section_, offset);
        if (!directory) {
            return std::nullopt;
        }
        uint32_t count = uint32_t{directory->NumberOfNamedEntries} + directory->NumberOfIdEntries;
        if (uint64_t{offset} + 16 + uint64_t{count} * 8 > section_.size()) {
            return std::nullopt;
        }
        Entries entries;
        for (uint32_t i = 0; i < count; ++i) {
            auto entry = *ReadAt<ResourceDirectoryEntry>(section_, uint64_t{offset} + 16 + i * 8);
            auto key = ReadKey(entry.Name);
            if (!key) {
                return std::nullopt;
            }
            entries.emplace_back(std::move(*key), entry);
        }
        return entries;
    }

    std::optional<ResourceKey> ReadKey(uint32_t name) const {
        if ((name & kHighBit) == 0) {
            if (name > 0xFFFF) {
                return std::nullopt;
            }
            return ResourceKey::Id(static_cast<uint16_t>(name));
        }
        uint64_t offset = name & ~kHighBit;
        auto length = ReadAt<uint16_t>(section_, offset);
        if (!length || offset + 2 + uint64_t{*length} * 2 > section_.size()) {
            return std::nullopt;
        }
        std::u16string text(*length, u'\0');
        std::memcpy(text.data(), section_.data() + offset + 2, uint64_t{*length} * 2);
        return ResourceKey::Text(std::move(text));
    }

    bool ReadLanguages(uint32_t offset, LanguageMap& languages) {
        auto entries = ReadEntries(offset);
        if (!entries) {
            return false;
        }
        for (const auto& [language, entry] : *entries) {
            if (!language.isId || IsSubdirectory(entry) ||
                !visited_.insert(entry.OffsetToData | kHighBit).second) {
                return false;
            }
            auto dataEntry = ReadAt<ResourceDataEntry>(section_, entry.OffsetToData);
            if (!dataEntry || dataEntry->Size > dataBudget_) {
                return false;
            }
            ResourceData data;
            data.codePage = dataEntry->CodePage;
            if (dataEntry->Size != 0) {
                auto fileOffset = image_.RvaToOffset(dataEntry->OffsetToData, dataEntry->Size);
                if (!fileOffset) {
                    return false;
                }
                auto first = image_.bytes.begin() + static_cast<ptrdiff_t>(*fileOffset);
                data.bytes.assign(first, first + dataEntry->Size);
            }
            dataBudget_ -= dataEntry->Size;
            languages.try_emplace(language.id, std::move(data));
        }
        return true;
    }

    const PeImage& image_;
    std::span<const uint8_t> section_;
    std::set<uint32_t> visited_;
    uint64_t dataBudget_;
};

// Byte sizes of the parts of a resource section, worked out before anything is written.
struct SectionPlan {
    uint64_t directories = 0;
    uint64_t dataEntries = 0;
    uint64_t names = 0;
    uint64_t data = 0;
};

uint64_t DirectorySize(size_t entries) {
    return 16 + uint64_t{entries} * 8;
}

uint64_t NameSize(const ResourceKey& key) {
    return key.isId ? 0 : 2 + uint64_t{key.text.size()} * 2;
}

} // namespace

ResourceTable Pruned(const ResourceTable& table) {
    ResourceTable pruned;
    for (const auto& [type, names] : table) {
        for (const auto& [name, languages] : names) {
            if (!languages.empty()) {
                pruned[type][name] = languages;
            }
        }
    }
    return pruned;
}

namespace {

SectionPlan Plan(const ResourceTable& table) {
    SectionPlan plan;
    plan.directories = DirectorySize(table.size());
    for (const auto& [type, names] : table) {
        plan.directories += DirectorySize(names.size());
        plan.names += NameSize(type);
        for (const auto& [name, languages] : names) {
            plan.directories += DirectorySize(languages.size());
            plan.dataEntries += uint64_t{languages.size()} * 16;
            plan.names += NameSize(name);
            for (const auto& entry : languages) {
                plan.data += AlignUp(entry.second.bytes.size(), kDataAlignment);
            }
        }
    }
    return plan;
}

// Writes the directories, data entries and names of the section into `out`, whose size the
// plan has fixed.
class SectionWriter {
  public:
    SectionWriter(std::vector<uint8_t>& out, const SectionPlan& plan, uint32_t sectionRva)
        : out_(out), sectionRva_(sectionRva), nextDirectory_(0), nextDataEntry_(plan.directories),
          nextName_(plan.directories + plan.dataEntries),
          nextData_(AlignUp(plan.directories + plan.dataEntries + plan.names, kDataAlignment)) {}

    void Write(const ResourceTable& table) {
        // Directories are laid out level by level: the root, every type's name directory,
        // then every name's language directory.
        uint64_t root = Allocate(table.size());
        std::vector<std::pair<const NameMap*, uint64_t>> nameDirectories;
        size_t index = 0;
        for (const auto& [type, names] : table) {
            uint64_t directory = Allocate(names.size());
            WriteEntry(root, index++, KeyField(type), Subdirectory(directory));
            nameDirectories.emplace_back(&names, directory);
        }
        for (const auto& [names, directory] : nameDirectories) {
            index = 0;
            for (const auto& [name, languages] : *names) {
                uint64_t languageDirectory = Allocate(languages.size());
                WriteEntry(directory, index++, KeyField(name), Subdirectory(languageDirectory));
                pendingLanguages_.emplace_back(&languages, languageDirectory);
            }
        }
        for (const auto& [languages, directory] : pendingLanguages_) {
            index = 0;
            for (const auto& [language, data] : *languages) {
                WriteEntry(directory, index++, language, static_cast<uint32_t>(nextDataEntry_));
                WriteData(data);
            }
        }
    }

  private:
    uint64_t Allocate(size_t entries) {
        uint64_t offset = nextDirectory_;
        nextDirectory_ += DirectorySize(entries);
        return offset;
    }

    static uint32_t Subdirectory(uint64_t offset) {
        return static_cast<uint32_t>(offset) | kHighBit;
    }

    void WriteEntry(uint64_t directory, size_t index, uint32_t name, uint32_t target) {
        auto header = *ReadAt<ResourceDirectory>(out_, directory);
        if ((name & kHighBit) != 0) {
            ++header.NumberOfNamedEntries;
        } else {
            ++header.NumberOfIdEntries;
        }
        WriteAt(std::span(out_), directory, header);
        WriteAt(std::span(out_), directory + 16 + index * 8, ResourceDirectoryEntry{name, target});
    }

    uint32_t KeyField(const ResourceKey& key) {
        if (key.isId) {
            return key.id;
        }
        uint64_t offset = nextName_;
        WriteAt(std::span(out_), offset, static_cast<uint16_t>(key.text.size()));
        std::memcpy(out_.data() + offset + 2, key.text.data(), key.text.size() * 2);
        nextName_ += NameSize(key);
        return static_cast<uint32_t>(offset) | kHighBit;
    }

    void WriteData(const ResourceData& data) {
        ResourceDataEntry entry{static_cast<uint32_t>(sectionRva_ + nextData_),
                                static_cast<uint32_t>(data.bytes.size()), data.codePage, 0};
        WriteAt(std::span(out_), nextDataEntry_, entry);
        nextDataEntry_ += 16;
        std::copy(data.bytes.begin(), data.bytes.end(),
                  out_.begin() + static_cast<ptrdiff_t>(nextData_));
        nextData_ += AlignUp(data.bytes.size(), kDataAlignment);
    }

    std::vector<uint8_t>& out_;
    uint32_t sectionRva_;
    uint64_t nextDirectory_;
    uint64_t nextDataEntry_;
    uint64_t nextName_;
    uint64_t nextData_;
    std::vector<std::pair<const LanguageMap*, uint64_t>> pendingLanguages_;
};

} // namespace

std::optional<ResourceTable> ReadResources(const PeImage& image, NameOrder* order) {
    DataDirectory directory = image.Directory(kDirResource);
    if (directory.VirtualAddress == 0) {
        return ResourceTable{};
    }
    auto index = image.SectionOf(directory.VirtualAddress);
    if (!index) {
        return std::nullopt;
    }
    const auto& section = image.sections[*index];
    uint64_t inSection = uint64_t{directory.VirtualAddress} - section.VirtualAddress;
    uint64_t start = uint64_t{section.PointerToRawData} + inSection;
    uint64_t end = std::min<uint64_t>(RawEnd(section), image.bytes.size());
    if (inSection >= section.SizeOfRawData || start >= end) {
        return std::nullopt;
    }
    DirectoryReader reader(image, image.bytes.subspan(start, end - start));
    return reader.ReadTable(order);
}

std::optional<std::vector<uint8_t>> BuildResourceSection(const ResourceTable& table,
                                                         uint32_t sectionRva) {
    ResourceTable pruned = Pruned(table);
    SectionPlan plan = Plan(pruned);
    uint64_t headerPart = plan.directories + plan.dataEntries + plan.names;
    uint64_t total = AlignUp(headerPart, kDataAlignment) + plan.data;
    if (total > 0x7FFFFFFF || uint64_t{sectionRva} + total > 0xFFFFFFFF) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(total, 0);
    SectionWriter(out, plan, sectionRva).Write(pruned);
    return out;
}

} // namespace prresources

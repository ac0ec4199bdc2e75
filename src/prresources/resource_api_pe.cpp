// ResourceApi over the PE resource reader and writer.
#include "resource_api_pe.h"

#include "pe_rewrite.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace prresources {
namespace {

constexpr uint64_t kMaxFileSize = 0x7FFFFFFF;

struct PeModule {
    ResourceTable table;
    NameOrder order; // enumeration goes by the file's directory, not by the table's sorting
};

struct PeUpdate {
    std::string file;
    std::vector<uint8_t> bytes;
    ResourceTable table;
};

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (!in || size < 0 || static_cast<uint64_t>(size) > kMaxFileSize) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    if (!in) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<ResourceTable> TableOf(std::span<const uint8_t> bytes, NameOrder* order = nullptr) {
    auto image = pe::ParsePeImage(bytes);
    if (!image) {
        return std::nullopt;
    }
    return ReadResources(*image, order);
}

// Writes `bytes` to a new file beside `file`, with its permissions, and moves it over `file`.
bool ReplaceFile(const std::string& file, std::span<const uint8_t> bytes) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::perms permissions = fs::status(file, error).permissions();
    if (error) {
        return false;
    }
    std::string temporary = file + ".resupdate";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            fs::remove(temporary, error);
            return false;
        }
    }
    fs::permissions(temporary, permissions, error);
    if (!error) {
        fs::rename(temporary, file, error);
    }
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

const NameMap* FindNames(const ResourceTable& table, ResName type) {
    auto key = KeyFromName(type);
    if (!key) {
        return nullptr;
    }
    auto found = table.find(*key);
    return found == table.end() || found->second.empty() ? nullptr : &found->second;
}

const LanguageMap* FindLanguages(const ResourceTable& table, ResName type, ResName name) {
    const NameMap* names = FindNames(table, type);
    auto key = KeyFromName(name);
    if (names == nullptr || !key) {
        return nullptr;
    }
    auto found = names->find(*key);
    return found == names->end() || found->second.empty() ? nullptr : &found->second;
}

ResourceHandle Handle(const ResourceData& data) {
    return const_cast<ResourceData*>(&data);
}

char16_t UpperCase(char16_t c) {
    bool latinLower = (c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7);
    return latinLower ? static_cast<char16_t>(c - 0x20) : c;
}

} // namespace

std::optional<ResourceKey> KeyFromName(ResName name) {
    if (IsIntResource(name)) {
        return ResourceKey::Id(ResourceId(name));
    }
    std::string text(name);
    if (!text.empty() && text[0] == '#') {
        uint32_t id = 0;
        if (text.size() == 1 || text.size() > 6) {
            return std::nullopt;
        }
        for (char c : text.substr(1)) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            id = id * 10 + static_cast<uint32_t>(c - '0');
        }
        if (id > 0xFFFF) {
            return std::nullopt;
        }
        return ResourceKey::Id(static_cast<uint16_t>(id));
    }
    std::u16string wide;
    for (char c : text) {
        wide.push_back(UpperCase(static_cast<char16_t>(static_cast<unsigned char>(c))));
    }
    return ResourceKey::Text(std::move(wide));
}

std::string AnsiText(const std::u16string& text) {
    std::string ansi;
    for (char16_t c : text) {
        ansi.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    }
    return ansi;
}

// A read-only mapping of a whole file. Only the pages the reader touches (headers, section table,
// resources) are read, so a large program costs no more memory than a small one.
class MappedFile {
  public:
    explicit MappedFile(const std::string& file) {
        int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            static_cast<uint64_t>(st.st_size) <= kMaxFileSize) {
            void* view =
                mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (view != MAP_FAILED) {
                data_ = static_cast<const uint8_t*>(view);
                size_ = static_cast<size_t>(st.st_size);
            }
        }
        close(fd);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data_) {
            munmap(const_cast<uint8_t*>(data_), size_);
        }
    }
    std::optional<std::span<const uint8_t>> Bytes() const {
        if (!data_) {
            return std::nullopt;
        }
        return std::span<const uint8_t>(data_, size_);
    }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

std::optional<ResourceTable> ReadFileResources(const std::string& file, NameOrder* order) {
    MappedFile mapped(file);
    auto bytes = mapped.Bytes();
    if (!bytes) {
        return std::nullopt;
    }
    return TableOf(*bytes, order);
}

UpdateHandle PeResourceApi::BeginUpdate(const std::string& file) {
    auto bytes = ReadWholeFile(file);
    if (!bytes) {
        return nullptr;
    }
    auto table = TableOf(*bytes);
    if (!table) {
        return nullptr;
    }
    return new PeUpdate{file, std::move(*bytes), std::move(*table)};
}

bool PeResourceApi::Update(UpdateHandle handle, ResName type, ResName name, uint16_t language,
                           const void* data, uint32_t size) {
    auto* update = static_cast<PeUpdate*>(handle);
    auto typeKey = KeyFromName(type);
    auto nameKey = KeyFromName(name);
    if (update == nullptr || !typeKey || !nameKey || (data == nullptr && size != 0)) {
        return false;
    }
    if (data == nullptr) {
        auto names = update->table.find(*typeKey);
        if (names != update->table.end()) {
            auto languages = names->second.find(*nameKey);
            if (languages != names->second.end()) {
                languages->second.erase(language);
            }
        }
        return true;
    }
    const auto* first = static_cast<const uint8_t*>(data);
    update->table[*typeKey][*nameKey][language] = ResourceData{{first, first + size}, 0};
    return true;
}

bool PeResourceApi::EndUpdate(UpdateHandle handle, bool discard) {
    std::unique_ptr<PeUpdate> update(static_cast<PeUpdate*>(handle));
    if (!update) {
        return false;
    }
    if (discard) {
        return true;
    }
    auto rewritten = ReplaceResources(update->bytes, update->table);
    return rewritten && ReplaceFile(update->file, *rewritten);
}

ModuleHandle PeResourceApi::LoadDataFile(const std::string& file) {
    NameOrder order;
    auto table = ReadFileResources(file, &order);
    if (!table) {
        return nullptr;
    }
    return new PeModule{std::move(*table), std::move(order)};
}

void PeResourceApi::FreeDataFile(ModuleHandle module) {
    delete static_cast<PeModule*>(module);
}

bool PeResourceApi::EnumNames(ModuleHandle module, ResName type, EnumNameProc callback,
                              intptr_t user) {
    const auto* view = static_cast<PeModule*>(module);
    const NameMap* names = FindNames(view->table, type);
    if (names == nullptr) {
        return false;
    }
    for (const ResourceKey& key : view->order.at(*KeyFromName(type))) {
        if (names->at(key).empty()) {
            continue;
        }
        std::string text = AnsiText(key.text);
        ResName name = key.isId ? MakeIntResource(key.id) : text.c_str();
        if (!callback(module, type, name, user)) {
            break;
        }
    }
    return true;
}

bool PeResourceApi::EnumLanguages(ModuleHandle module, ResName type, ResName name,
                                  EnumLanguageProc callback, intptr_t user) {
    const LanguageMap* languages = FindLanguages(static_cast<PeModule*>(module)->table, type, name);
    if (languages == nullptr) {
        return false;
    }
    for (const auto& entry : *languages) {
        if (!callback(module, type, name, entry.first, user)) {
            break;
        }
    }
    return true;
}

ResourceHandle PeResourceApi::FindEx(ModuleHandle module, ResName type, ResName name,
                                     uint16_t language) {
    const LanguageMap* languages = FindLanguages(static_cast<PeModule*>(module)->table, type, name);
    if (languages == nullptr) {
        return nullptr;
    }
    auto found = languages->find(language);
    return found == languages->end() ? nullptr : Handle(found->second);
}

ResourceHandle PeResourceApi::Find(ModuleHandle module, ResName name, ResName type) {
    const LanguageMap* languages = FindLanguages(static_cast<PeModule*>(module)->table, type, name);
    if (languages == nullptr) {
        return nullptr;
    }
    for (uint16_t language : kPreferredLanguages) {
        auto found = languages->find(language);
        if (found != languages->end()) {
            return Handle(found->second);
        }
    }
    return Handle(languages->begin()->second);
}

LoadedHandle PeResourceApi::Load(ModuleHandle, ResourceHandle resource) {
    return resource;
}

const void* PeResourceApi::Lock(LoadedHandle loaded) {
    static const uint8_t kEmpty = 0;
    const auto* data = static_cast<const ResourceData*>(loaded);
    if (data == nullptr) {
        return nullptr;
    }
    return data->bytes.empty() ? &kEmpty : data->bytes.data();
}

uint32_t PeResourceApi::SizeOf(ModuleHandle, ResourceHandle resource) {
    const auto* data = static_cast<const ResourceData*>(resource);
    return data == nullptr ? 0 : static_cast<uint32_t>(data->bytes.size());
}

} // namespace prresources

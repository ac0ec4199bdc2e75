// ResourceApi over the Win32 resource functions. A data-file view maps the file as it is, and
// the loader turns a resource's address into a place in that view without checking it against
// the file; so every resource is checked to lie inside the file before its bytes are read.
#include "resource_api.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace prresources {
namespace {

struct NameEnumeration {
    EnumNameProc callback;
    intptr_t user;
};

struct LanguageEnumeration {
    EnumLanguageProc callback;
    intptr_t user;
};

BOOL CALLBACK OnName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
    auto* enumeration = reinterpret_cast<NameEnumeration*>(param);
    return enumeration->callback(module, type, name, enumeration->user) ? TRUE : FALSE;
}

BOOL CALLBACK OnLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR param) {
    auto* enumeration = reinterpret_cast<LanguageEnumeration*>(param);
    return enumeration->callback(module, type, name, language, enumeration->user) ? TRUE : FALSE;
}

HMODULE Module(ModuleHandle module) {
    return static_cast<HMODULE>(module);
}

HRSRC Resource(ResourceHandle resource) {
    return static_cast<HRSRC>(resource);
}

// The bytes a module handle gives access to: the whole file for a data-file view (the handle's
// low bits set), the mapped image for a module that was already loaded.
struct ViewExtent {
    HMODULE module;
    uintptr_t begin;
    uintptr_t end;
};

uintptr_t ViewBase(HMODULE module) {
    return reinterpret_cast<uintptr_t>(module) & ~static_cast<uintptr_t>(3);
}

bool FileSize(const char* file, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(file, GetFileExInfoStandard, &attributes)) {
        return false;
    }
    size = (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    return true;
}

uint64_t ImageSize(HMODULE module) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        reinterpret_cast<const uint8_t*>(module) + dos->e_lfanew);
    return nt->OptionalHeader.SizeOfImage;
}

class Win32ResourceApi : public ResourceApi {
  public:
    UpdateHandle BeginUpdate(const std::string& file) override {
        return BeginUpdateResourceA(file.c_str(), FALSE);
    }

    bool Update(UpdateHandle update, ResName type, ResName name, uint16_t language,
                const void* data, uint32_t size) override {
        return UpdateResourceA(update, type, name, language, const_cast<void*>(data), size) !=
               FALSE;
    }

    bool EndUpdate(UpdateHandle update, bool discard) override {
        return EndUpdateResourceA(update, discard ? TRUE : FALSE) != FALSE;
    }

    ModuleHandle LoadDataFile(const std::string& file) override {
        uint64_t size = 0;
        if (!FileSize(file.c_str(), size)) {
            return nullptr;
        }
        HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module == nullptr) {
            return nullptr;
        }
        bool dataFile = ViewBase(module) != reinterpret_cast<uintptr_t>(module);
        auto extent = static_cast<uintptr_t>(dataFile ? size : ImageSize(module));
        extents_.push_back({module, ViewBase(module), ViewBase(module) + extent});
        return module;
    }

    void FreeDataFile(ModuleHandle module) override {
        for (size_t i = 0; i < extents_.size(); ++i) {
            if (extents_[i].module == Module(module)) {
                extents_.erase(extents_.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        ::FreeLibrary(Module(module));
    }

    bool EnumNames(ModuleHandle module, ResName type, EnumNameProc callback,
                   intptr_t user) override {
        NameEnumeration enumeration{callback, user};
        return EnumResourceNamesA(Module(module), type, OnName,
                                  reinterpret_cast<LONG_PTR>(&enumeration)) != FALSE;
    }

    bool EnumLanguages(ModuleHandle module, ResName type, ResName name, EnumLanguageProc callback,
                       intptr_t user) override {
        LanguageEnumeration enumeration{callback, user};
        return EnumResourceLanguagesA(Module(module), type, name, OnLanguage,
                                      reinterpret_cast<LONG_PTR>(&enumeration)) != FALSE;
    }

    ResourceHandle FindEx(ModuleHandle module, ResName type, ResName name,
                          uint16_t language) override {
        return FindResourceExA(Module(module), type, name, language);
    }

    ResourceHandle Find(ModuleHandle module, ResName name, ResName type) override {
        return FindResourceA(Module(module), name, type);
    }

    // Nothing when the resource's bytes do not lie wholly inside the module's file.
    LoadedHandle Load(ModuleHandle module, ResourceHandle resource) override {
        HGLOBAL loaded = ::LoadResource(Module(module), Resource(resource));
        if (loaded == nullptr) {
            return nullptr;
        }
        auto begin = reinterpret_cast<uintptr_t>(::LockResource(loaded));
        uint64_t size = ::SizeofResource(Module(module), Resource(resource));
        return Inside(Module(module), begin, size) ? loaded : nullptr;
    }

    const void* Lock(LoadedHandle loaded) override {
        return ::LockResource(static_cast<HGLOBAL>(loaded));
    }

    uint32_t SizeOf(ModuleHandle module, ResourceHandle resource) override {
        return ::SizeofResource(Module(module), Resource(resource));
    }

  private:
    bool Inside(HMODULE module, uintptr_t begin, uint64_t size) const {
        for (const ViewExtent& extent : extents_) {
            if (extent.module == module) {
                return begin >= extent.begin && begin <= extent.end && size <= extent.end - begin;
            }
        }
        return false;
    }

    std::vector<ViewExtent> extents_;
};

} // namespace

ResourceApi& PlatformResourceApi() {
    static Win32ResourceApi api;
    return api;
}

} // namespace prresources

// ResourceApi over the Win32 resource functions.
#include "resource_api.h"

#include <windows.h>

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
        return LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }

    void FreeDataFile(ModuleHandle module) override { ::FreeLibrary(Module(module)); }

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

    LoadedHandle Load(ModuleHandle module, ResourceHandle resource) override {
        return ::LoadResource(Module(module), Resource(resource));
    }

    const void* Lock(LoadedHandle loaded) override {
        return ::LockResource(static_cast<HGLOBAL>(loaded));
    }

    uint32_t SizeOf(ModuleHandle module, ResourceHandle resource) override {
        return ::SizeofResource(Module(module), Resource(resource));
    }
};

} // namespace

ResourceApi& PlatformResourceApi() {
    static Win32ResourceApi api;
    return api;
}

} // namespace prresources

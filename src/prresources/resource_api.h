// The resource operations that the icon and version transfer needs, shaped like their Win32
// counterparts so that one algorithm runs over the real API on Windows and over our own PE
// resource reader and writer elsewhere.
#pragma once

#include <cstdint>
#include <string>

namespace prresources {

// A resource type or name as the Win32 API passes it: a value whose upper bits are zero is a
// 16-bit ID (MAKEINTRESOURCE), anything else points to a zero-terminated ANSI text.
using ResName = const char*;

inline bool IsIntResource(ResName name) {
    return (reinterpret_cast<uintptr_t>(name) >> 16) == 0;
}

inline uint16_t ResourceId(ResName name) {
    return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(name));
}

inline ResName MakeIntResource(uint16_t id) {
    return reinterpret_cast<ResName>(static_cast<uintptr_t>(id));
}

inline const ResName kRtIcon = MakeIntResource(3);
inline const ResName kRtGroupIcon = MakeIntResource(14);
inline const ResName kRtVersion = MakeIntResource(16);

using ModuleHandle = void*;
using UpdateHandle = void*;
using ResourceHandle = void*;
using LoadedHandle = void*;

using EnumNameProc = bool (*)(ModuleHandle module, ResName type, ResName name, intptr_t user);
using EnumLanguageProc = bool (*)(ModuleHandle module, ResName type, ResName name,
                                  uint16_t language, intptr_t user);

class ResourceApi {
  public:
    virtual ~ResourceApi() = default;

    // A pending update of the file's resources that keeps the existing ones; null on refusal.
    virtual UpdateHandle BeginUpdate(const std::string& file) = 0;
    // Adds or replaces (type, name, language); no data and size 0 deletes it.
    virtual bool Update(UpdateHandle update, ResName type, ResName name, uint16_t language,
                        const void* data, uint32_t size) = 0;
    // Writes the pending update into the file, or drops it when `discard` is set.
    virtual bool EndUpdate(UpdateHandle update, bool discard) = 0;

    // A view of a file's resources that runs nothing; null when it is not a Windows module.
    virtual ModuleHandle LoadDataFile(const std::string& file) = 0;
    virtual void FreeDataFile(ModuleHandle module) = 0;

    // Enumerate in resource-directory order; false when there is nothing of the type or name.
    virtual bool EnumNames(ModuleHandle module, ResName type, EnumNameProc callback,
                           intptr_t user) = 0;
    virtual bool EnumLanguages(ModuleHandle module, ResName type, ResName name,
                               EnumLanguageProc callback, intptr_t user) = 0;

    virtual ResourceHandle FindEx(ModuleHandle module, ResName type, ResName name,
                                  uint16_t language) = 0;
    // Finds by name and type in the language that the system would choose.
    virtual ResourceHandle Find(ModuleHandle module, ResName name, ResName type) = 0;
    virtual LoadedHandle Load(ModuleHandle module, ResourceHandle resource) = 0;
    virtual const void* Lock(LoadedHandle loaded) = 0;
    virtual uint32_t SizeOf(ModuleHandle module, ResourceHandle resource) = 0;
};

// The platform's implementation: the Win32 API on Windows, the PE reader and writer elsewhere.
ResourceApi& PlatformResourceApi();

} // namespace prresources

// ResourceApi over our own PE resource reader and writer, for systems without the Win32
// resource services. Views and updates hold the whole file in memory; an update is written to
// a new file beside the target and moved over it, so the target is replaced whole or not at all.
#pragma once

#include "resource_api.h"
#include "resource_table.h"

#include <optional>

namespace prresources {

// A resource name as a table key: text names upper-cased, "#123" taken as the ID 123, as the
// Win32 API does. Nothing for a "#" text that is no valid ID.
std::optional<ResourceKey> KeyFromName(ResName name);
// A text name in the 8-bit form that enumeration hands out (Latin-1, '?' where it has no byte).
std::string AnsiText(const std::u16string& text);

// The languages that FindResource tries in turn before it takes the first one: neutral, the
// user's and the system's default, then US English.
inline constexpr uint16_t kPreferredLanguages[] = {0x0000, 0x0400, 0x0800, 0x0409};

class PeResourceApi : public ResourceApi {
  public:
    UpdateHandle BeginUpdate(const std::string& file) override;
    bool Update(UpdateHandle update, ResName type, ResName name, uint16_t language,
                const void* data, uint32_t size) override;
    bool EndUpdate(UpdateHandle update, bool discard) override;
    ModuleHandle LoadDataFile(const std::string& file) override;
    void FreeDataFile(ModuleHandle module) override;
    bool EnumNames(ModuleHandle module, ResName type, EnumNameProc callback,
                   intptr_t user) override;
    bool EnumLanguages(ModuleHandle module, ResName type, ResName name, EnumLanguageProc callback,
                       intptr_t user) override;
    ResourceHandle FindEx(ModuleHandle module, ResName type, ResName name,
                          uint16_t language) override;
    ResourceHandle Find(ModuleHandle module, ResName name, ResName type) override;
    LoadedHandle Load(ModuleHandle module, ResourceHandle resource) override;
    const void* Lock(LoadedHandle loaded) override;
    uint32_t SizeOf(ModuleHandle module, ResourceHandle resource) override;
};

// The resource table of an executable file, and into `order` (when given) its names in
// directory order; nothing when it cannot be read or is malformed.
std::optional<ResourceTable> ReadFileResources(const std::string& file, NameOrder* order = nullptr);

} // namespace prresources

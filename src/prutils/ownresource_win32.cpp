// Own resources through the Win32 resource functions of the running module.
#include "ownresource.h"

#include <windows.h>

namespace prutils {

bool LoadOwnResource(const char* type, const char* name, ResourceBytes& out) {
    HRSRC found = FindResourceA(nullptr, name, type);
    if (!found)
        return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded)
        return false;
    DWORD size = SizeofResource(nullptr, found);
    if (size == 0)
        return false;
    const void* data = LockResource(loaded);
    if (!data)
        return false;
    out = {data, size};
    return true;
}

} // namespace prutils

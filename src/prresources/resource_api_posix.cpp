// Systems without the Win32 resource services use our own PE resource reader and writer.
#include "resource_api_pe.h"

namespace prresources {

ResourceApi& PlatformResourceApi() {
    static PeResourceApi api;
    return api;
}

} // namespace prresources

// Own resources on Linux: the runtime module images are linked into the program as data (see
// src/packrig/sfxhead_image_posix.cpp.in). The symbols are weak, so a program linked without the
// images reports them as missing instead of failing to link.
#include "ownresource.h"

#include <cstring>

extern "C" {
extern const unsigned char packrig_sfxhead_begin[] __attribute__((weak));
extern const unsigned char packrig_sfxhead_end[] __attribute__((weak));
extern const unsigned char packrig_sfxheadz_begin[] __attribute__((weak));
extern const unsigned char packrig_sfxheadz_end[] __attribute__((weak));
}

namespace prutils {

bool LoadOwnResource(const char* type, const char* name, ResourceBytes& out) {
    if (std::strcmp(type, "EXE") != 0)
        return false;
    const unsigned char* begin = nullptr;
    const unsigned char* end = nullptr;
    if (std::strcmp(name, "SFXHEAD") == 0) {
        begin = packrig_sfxhead_begin;
        end = packrig_sfxhead_end;
    } else if (std::strcmp(name, "SFXHEADZ") == 0) {
        begin = packrig_sfxheadz_begin;
        end = packrig_sfxheadz_end;
    }
    if (!begin || !end || end <= begin)
        return false;
    out = {begin, static_cast<uint32_t>(end - begin)};
    return true;
}

} // namespace prutils

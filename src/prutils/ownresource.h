// The builder's own embedded resources: the runtime module image above all.
#pragma once

#include <stdint.h>

namespace prutils {

struct ResourceBytes {
    const void* data = nullptr;
    uint32_t size = 0;
};

// Finds, loads and locks the resource (`type`, `name`) of the running program. False when it is
// missing, cannot be loaded or locked, or is empty. The bytes stay valid until the process ends.
bool LoadOwnResource(const char* type, const char* name, ResourceBytes& out);

// The runtime module image that heads an SFX file: resource "EXE"/"SFXHEAD" for plain SFX files,
// "EXE"/"SFXHEADZ" (the module that decodes) for compressed ones. False when it is missing.
bool RuntimeModuleImage(bool compressed, ResourceBytes& out);

} // namespace prutils

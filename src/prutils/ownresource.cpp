// The choice between the builder's two embedded runtime modules; see ownresource.h.
#include "ownresource.h"

namespace prutils {

bool RuntimeModuleImage(bool compressed, ResourceBytes& out) {
    return LoadOwnResource("EXE", compressed ? "SFXHEADZ" : "SFXHEAD", out);
}

} // namespace prutils

// Stored-name checks; see names.h.
#include "names.h"

namespace sfx {

namespace {

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

// Windows drops trailing dots and blanks from path components, so ". ." or "..." can
// act as "..": refuse any component of only dots and blanks with two dots or more.
bool IsParentReference(const char* c, size_t len) {
    size_t dots = 0;
    for (size_t i = 0; i < len; ++i) {
        if (c[i] == '.')
            ++dots;
        else if (c[i] != ' ')
            return false;
    }
    return dots >= 2;
}

} // namespace

bool IsSafeEntryName(const char* name, size_t n) {
    if (n == 0 || IsPathSeparator(name[0]))
        return false;
    size_t componentStart = 0;
    for (size_t i = 0; i <= n; ++i) {
        if (i == n || IsPathSeparator(name[i])) {
            if (IsParentReference(name + componentStart, i - componentStart))
                return false;
            componentStart = i + 1;
            continue;
        }
        // Windows allows no control character in a name; refusing them here keeps a crafted
        // name from being taken apart anywhere later on.
        if (name[i] == ':' || static_cast<unsigned char>(name[i]) < 0x20)
            return false;
    }
    return true;
}

} // namespace sfx

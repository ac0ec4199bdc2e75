// Stored-name checks; see names.h.
#include "names.h"

namespace sfx {

namespace {

template <class C> bool IsPathSeparator(C c) {
    return c == '\\' || c == '/';
}

// Windows drops trailing dots and blanks from path components, so ". ." or "..." can
// act as "..": refuse any component of only dots and blanks with two dots or more.
template <class C> bool IsParentReference(const C* c, size_t len) {
    size_t dots = 0;
    for (size_t i = 0; i < len; ++i) {
        if (c[i] == '.')
            ++dots;
        else if (c[i] != ' ')
            return false;
    }
    return dots >= 2;
}

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20;
}
bool IsControl(wchar_t c) {
    return static_cast<unsigned long>(c) < 0x20;
}

} // namespace

template <class C> bool IsSafeEntryName(const C* name, size_t n) {
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
        if (name[i] == ':' || IsControl(name[i]))
            return false;
    }
    return true;
}

template bool IsSafeEntryName(const char* name, size_t n);
template bool IsSafeEntryName(const wchar_t* name, size_t n);

} // namespace sfx

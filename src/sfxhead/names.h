// Checks on stored names before they are joined to the working folder.
#pragma once

#include <stddef.h>

namespace sfx {

// True if `name` (n bytes, not terminated) is a relative path that stays inside the folder it
// is appended to: not empty, no leading separator, no drive or stream colon anywhere, no ".."
// component (nor one that Windows reads as ".."), no character below 0x20 (the zero byte
// included). Both "\" and "/" count as separators, as they do for Windows. For stored names
// (char) and for the same names converted to UTF-16 (wchar_t).
template <class C> bool IsSafeEntryName(const C* name, size_t n);

} // namespace sfx

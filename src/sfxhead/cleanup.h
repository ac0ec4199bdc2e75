// Registering everything a run unpacked for deletion at the next system start. Nothing is
// deleted at once: the started program may still use the files.
//
// A Host provides:
//   void ClearAttributes(const C* path);
//   void DeleteAtReboot(const C* path);           failures are ignored
//   template <class F> void ForEachFolder(const C* folder, F f);
//       calls f(name, isLink) for each sub-folder of `folder` (ending in "\"), leaving out "."
//       and "..", and every entry with the hidden, system or volume-label attribute; `isLink`
//       tells a link (a reparse point) from a real folder
// where C is the unit of the paths (wchar_t in the module).
#pragma once

#include <stddef.h>

#include "text.h"

namespace sfx {

// Ends each path in the list of unpacked files: the zero byte that ends a path as text, so that
// no path, whatever its bytes, reads back as more than one.
inline constexpr char kListSeparator = 0;

inline bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}
inline bool IsBlankOrControl(wchar_t c) {
    return static_cast<unsigned long>(c) <= 0x20;
}

// Registers `folder` (ending in "\", in a buffer of capacity `cap`) after every folder inside
// it, depth first. A link is registered as the link and never walked into: what it points to is
// no part of the run. The buffer is extended in place and restored before returning.
template <class Host, class C> void ScheduleFolderRemoval(Host& host, C* folder, size_t cap) {
    size_t len = TextLength(folder);
    host.ForEachFolder(folder, [&](const C* name, bool isLink) {
        AppendText(folder, cap, name);
        if (isLink) {
            host.DeleteAtReboot(folder);
        } else {
            host.ClearAttributes(folder);
            if (AppendAscii(folder, cap, "\\") < cap - 1)
                ScheduleFolderRemoval(host, folder, cap);
        }
        folder[len] = 0;
    });
    folder[len - 1] = 0;
    host.DeleteAtReboot(folder);
    folder[len - 1] = '\\';
}

// Registers every path of `unpacked` (each ended by kListSeparator, in unpacking order) with
// its attributes cleared, then the folders of `workDir` depth first and `workDir` itself last.
// `scratch` (capacity `cap`) holds the paths while they are handed over.
template <class Host, class C>
void ScheduleCleanup(Host& host, const C* unpacked, size_t unpackedLength, const C* workDir,
                     C* scratch, size_t cap) {
    size_t start = 0;
    for (size_t i = 0; i < unpackedLength; ++i) {
        if (unpacked[i] != kListSeparator)
            continue;
        scratch[0] = 0;
        AppendBytes(scratch, cap, unpacked + start, i - start);
        host.ClearAttributes(scratch);
        host.DeleteAtReboot(scratch);
        start = i + 1;
    }
    while (*workDir != 0 && IsBlankOrControl(*workDir))
        ++workDir;
    size_t len = TextLength(workDir);
    while (len > 0 && IsBlankOrControl(workDir[len - 1]))
        --len;
    if (len == 0)
        return;
    scratch[0] = 0;
    AppendBytes(scratch, cap, workDir, len);
    if (scratch[TextLength(scratch) - 1] != '\\')
        AppendAscii(scratch, cap, "\\");
    ScheduleFolderRemoval(host, scratch, cap);
}

} // namespace sfx

// Registering everything a run unpacked for deletion at the next system start. Nothing is
// deleted at once: the started program may still use the files.
//
// A Host provides:
//   void ClearAttributes(const char* path);
//   void DeleteAtReboot(const char* path);        failures are ignored
//   template <class F> void ForEachFolder(const char* folder, F f);
//       calls f(name) for each sub-folder of `folder` (ending in "\"), leaving out "." and
//       "..", and every entry with the hidden, system or volume-label attribute
#pragma once

#include <stddef.h>

#include "text.h"

namespace sfx {

// Ends each path in the list of unpacked files: the zero byte that ends a path as text, so that
// no path, whatever its bytes, reads back as more than one.
inline constexpr char kListSeparator = 0;

// Registers `folder` (ending in "\", in a buffer of capacity `cap`) after every folder inside
// it, depth first. The buffer is extended in place and restored before returning.
template <class Host> void ScheduleFolderRemoval(Host& host, char* folder, size_t cap) {
    size_t len = TextLength(folder);
    host.ForEachFolder(folder, [&](const char* name) {
        AppendText(folder, cap, name);
        host.ClearAttributes(folder);
        if (AppendText(folder, cap, "\\") < cap - 1)
            ScheduleFolderRemoval(host, folder, cap);
        folder[len] = 0;
    });
    folder[len - 1] = 0;
    host.DeleteAtReboot(folder);
    folder[len - 1] = '\\';
}

// Registers every path of `unpacked` (each ended by kListSeparator, in unpacking order) with
// its attributes cleared, then the folders of `workDir` depth first and `workDir` itself last.
// `scratch` (capacity `cap`) holds the paths while they are handed over.
template <class Host>
void ScheduleCleanup(Host& host, const char* unpacked, size_t unpackedLength, const char* workDir,
                     char* scratch, size_t cap) {
    size_t start = 0;
    for (size_t i = 0; i < unpackedLength; ++i) {
        if (unpacked[i] != kListSeparator)
            continue;
        CopyText(scratch, cap, "");
        AppendBytes(scratch, cap, unpacked + start, i - start);
        host.ClearAttributes(scratch);
        host.DeleteAtReboot(scratch);
        start = i + 1;
    }
    while (*workDir != 0 && static_cast<unsigned char>(*workDir) <= 0x20)
        ++workDir;
    size_t len = TextLength(workDir);
    while (len > 0 && static_cast<unsigned char>(workDir[len - 1]) <= 0x20)
        --len;
    if (len == 0)
        return;
    CopyText(scratch, cap, "");
    AppendBytes(scratch, cap, workDir, len);
    if (scratch[TextLength(scratch) - 1] != '\\')
        AppendText(scratch, cap, "\\");
    ScheduleFolderRemoval(host, scratch, cap);
}

} // namespace sfx

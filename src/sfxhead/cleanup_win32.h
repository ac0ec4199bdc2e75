// The clean-up of a run through the real file system and registry; see cleanup.h for the order.
#pragma once

#include <stddef.h>

namespace sfx {

// Clears the attributes of every unpacked file and registers the files and WorkDir's folders for
// deletion at the next system start. The registrations are appended to the system's list of
// pending deletions in one write, which also drops the registrations of earlier runs of the SFX
// file `id` (`idLength` characters) whose paths are gone; where that write is refused, each
// path is registered with MoveFileEx.
void RegisterCleanup(const wchar_t* unpacked, size_t unpackedLength, const wchar_t* workDir,
                     const char* id, size_t idLength, wchar_t* scratch, size_t cap);

} // namespace sfx

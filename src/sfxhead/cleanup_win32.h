// The clean-up of a run through the real file system and registry; see cleanup.h for the order.
#pragma once

#include <stddef.h>

namespace sfx {

// Clears the attributes of every unpacked file and registers the files and WorkDir's folders for
// deletion at the next system start. The registrations are appended to the system's list of
// pending deletions in one write; where that is refused, each is made with MoveFileExA.
void RegisterCleanup(const char* unpacked, size_t unpackedLength, const char* workDir,
                     char* scratch, size_t cap);

} // namespace sfx

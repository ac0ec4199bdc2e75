// The working folder of a run: its name, the names of earlier runs' folders of the same SFX
// file, and the security descriptor it is created with.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sfx {

// Tries at most this many names for a run's folder before giving up.
inline constexpr uint32_t kRunFolderAttempts = 10000;

// Appends the folder name of attempt `attempt` to `out` (capacity `cap`): "~sfx" and the
// identifier for attempt 0, then "~sfx<id>.1", "~sfx<id>.2" and so on. Returns the new length.
size_t AppendRunFolderName(wchar_t* out, size_t cap, const char* id, size_t idLength,
                           uint32_t attempt);

// True if the `n` units of `name` are one of the names AppendRunFolderName gives for `id`
// (letters in either case alike, as the file system compares them).
bool IsRunFolderName(const uint16_t* name, size_t n, const char* id, size_t idLength);

// Where `path` (`n` units) lies inside a run folder of `id` directly under `parent`
// (`parentLength` units, ending in "\"): the length of the run folder's path within `path`,
// or 0 when it lies elsewhere.
size_t RunFolderPrefix(const uint16_t* path, size_t n, const uint16_t* parent, size_t parentLength,
                       const char* id, size_t idLength);

// The security descriptor of a run's folder as text: a protected list that grants full access
// to `userSid` (a SID as text), SYSTEM and Administrators alone, inherited by everything inside;
// with `highLabel`, a high mandatory label that keeps processes of lower integrity from
// writing. False if it does not fit `cap` units.
bool FolderSecurityText(const wchar_t* userSid, bool highLabel, wchar_t* out, size_t cap);

// The free-space report's name for the drive that holds `folder`: "C:\" where the path names a
// drive letter (also behind "\\?\"), otherwise the folder itself. Into `out` of `cap` units.
void SpaceRoot(const wchar_t* folder, wchar_t* out, size_t cap);

} // namespace sfx

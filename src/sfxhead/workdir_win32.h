// The working folder of a run on Windows: a folder of the run's own, created with a private
// security descriptor, and the removal of what earlier runs of the same SFX file left behind.
// Also the restriction of the DLL search, which comes before anything else of the run.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sfx {

// Lets the system load DLLs from its own folder only, never from the SFX file's folder or the
// current one, where systems allow it.
void RestrictDllSearch();

// Removes the run folders of `id` under `temp` (ending in "\") that no run holds any more:
// files and folders inside them, links as links, never what a link points to. What is in use
// or cannot be removed stays.
void SweepEarlierRuns(const wchar_t* temp, const char* id, size_t idLength);

// Creates a new run folder of `id` under `temp` (ending in "\"), which must not exist: the
// first free name of workdir.h's names. Only the current user, SYSTEM and Administrators may
// use it, and when the run is elevated, nothing of lower integrity may write to it. The folder
// stays held until the process ends, so that it cannot be renamed or removed meanwhile and later
// runs see that it is in use. `workDir` (`cap` units) receives its path with a "\" at the end.
// Returns 0, or the system's error code.
uint32_t CreateRunFolder(const wchar_t* temp, const char* id, size_t idLength, wchar_t* workDir,
                         size_t cap);

} // namespace sfx

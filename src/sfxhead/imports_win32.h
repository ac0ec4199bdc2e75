// The module's calls into the system DLLs other than kernel32, bound at run time; see
// imports_win32.cpp.
#pragma once

namespace sfx {

// Loads user32, gdi32, shell32 and advapi32 and binds every function the module calls in them;
// false if one is missing. Call it after RestrictDllSearch and before any such call.
bool BindSystemImports();

} // namespace sfx

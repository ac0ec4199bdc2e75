// The executable file's path as Windows resolves it, and the stored name that it denotes inside
// the source directory; the same rules on both builders.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fpackrig {

// The components of `path` as Windows resolves it: "/" and "\" both separate, empty components
// and "." drop out, ".." takes back the component before it (a ".." with nothing before it
// stays), one trailing dot of a folder ("sub." is "sub", "sub.." stays) and every trailing dot
// and blank of the last component are dropped. With `endsInFolder` the last component is a
// folder too.
std::vector<std::string> ResolvedComponents(std::string_view path, bool endsInFolder = false);

// The stored name (components joined by "\", in this platform's name form) of the file that
// `source` followed by `exeFile` names, as Windows resolves both; nothing when the path leads
// out of the source directory or names the directory itself.
std::optional<std::string> ExeFileRelativeName(std::string_view source, std::string_view exeFile);

} // namespace fpackrig

// Resolving the executable file's path as Windows does; see exe_name.h.
#include "exe_name.h"

#include "filesys.h"

namespace fpackrig {

namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// Windows drops one trailing dot of a folder's component and every trailing dot and blank of
// the last component.
void TrimAsWindows(std::string& part, bool isFolder) {
    if (part == "..")
        return;
    if (isFolder) {
        if (part.size() >= 2 && part.back() == '.' && part[part.size() - 2] != '.')
            part.pop_back();
        return;
    }
    while (!part.empty() && (part.back() == '.' || part.back() == ' '))
        part.pop_back();
}

// Two names of one folder that Windows takes for the same: equal, or equal when upper-cased.
bool SameName(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    std::string storedA = fsys::ExeFileStoredName(a), storedB = fsys::ExeFileStoredName(b);
    return !storedA.empty() && fsys::UpperStored(storedA) == fsys::UpperStored(storedB);
}

} // namespace

std::vector<std::string> ResolvedComponents(std::string_view path, bool endsInFolder) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        std::string part(path.substr(start, end - start));
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = end + 1;
    }
    for (size_t i = 0; i < parts.size(); ++i)
        TrimAsWindows(parts[i], endsInFolder || i + 1 < parts.size());
    return parts;
}

std::optional<std::string> ExeFileRelativeName(std::string_view source, std::string_view exeFile) {
    std::vector<std::string> base = ResolvedComponents(source, true);
    std::string full(source);
    if (!full.empty() && !IsSeparator(full.back()))
        full += fsys::kPathDelimiter;
    full += exeFile;
    std::vector<std::string> parts = ResolvedComponents(full);
    if (parts.size() <= base.size())
        return std::nullopt;
    for (size_t i = 0; i < base.size(); ++i)
        if (!SameName(parts[i], base[i]))
            return std::nullopt;
    std::string name;
    for (size_t i = base.size(); i < parts.size(); ++i) {
        if (parts[i] == "..")
            return std::nullopt;
        name += (name.empty() ? "" : "\\") + parts[i];
    }
    return name;
}

} // namespace fpackrig

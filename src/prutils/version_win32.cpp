// Version resources through the version API, and ShellExecuteA for addresses.
#include "cmdline.h"
#include "version.h"

#include <vector>
#include <windows.h>

namespace prutils {

std::string FileVersionString(const std::string& path) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data()))
        return {};
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        length < sizeof(VS_FIXEDFILEINFO))
        return {};
    return VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
}

bool ShellOpen(const std::string& text) {
    if (TrimControlAndBlank(text).empty())
        return false;
    HINSTANCE result =
        ShellExecuteA(nullptr, "open", text.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

} // namespace prutils

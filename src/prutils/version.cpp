// The portable half of the version helpers.
#include "version.h"

namespace prutils {

std::string BuildVersion() {
    return PACKRIG_VERSION;
}

std::string VersionText(uint32_t versionMS, uint32_t versionLS) {
    return std::to_string(versionMS >> 16) + "." + std::to_string(versionMS & 0xFFFF) + "." +
           std::to_string(versionLS >> 16) + "." + std::to_string(versionLS & 0xFFFF);
}

std::string MajorMinorVersion(std::string_view version) {
    size_t first = version.find('.');
    if (first == std::string_view::npos)
        return std::string(version);
    size_t second = version.find('.', first + 1);
    return std::string(version.substr(0, second));
}

} // namespace prutils

// Gives a freshly written SFX file the icon and the version information of the program it starts.
#pragma once

#include <string>

namespace prresources {

// Each call is one transaction on `target`'s resources: committed whole, or not at all. Both
// return true when the update was committed.
bool TransferIcon(const std::string& exeFile, const std::string& target);
bool TransferVersionInfo(const std::string& exeFile, const std::string& target);

} // namespace prresources

// Until the resource transfer is in place, the SFX file keeps the runtime module's resources.
#include "transfer.h"

namespace prresources {

bool TransferIcon(const std::string&, const std::string&) {
    return false;
}
bool TransferVersionInfo(const std::string&, const std::string&) {
    return false;
}

} // namespace prresources

// The remembered settings in the registry of the current user.
#pragma once

#include "window_logic.h"

namespace fpackrig {

// HKEY_CURRENT_USER\Software\Quorvel\Packrig, opened for query and set alike (access mask 3).
class RegistrySettings : public SettingsStore {
  public:
    std::unique_ptr<SettingsKey> OpenKey() override;
};

} // namespace fpackrig

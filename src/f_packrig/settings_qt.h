// The remembered settings of the Linux window, kept per user with QSettings.
#pragma once

#include "window_logic.h"

namespace fpackrig {

// Organisation "Quorvel", application "Packrig": the user's configuration folder's
// Quorvel/Packrig.conf. Opening creates the file when it is missing.
class QtSettings : public SettingsStore {
  public:
    std::unique_ptr<SettingsKey> OpenKey() override;
};

} // namespace fpackrig

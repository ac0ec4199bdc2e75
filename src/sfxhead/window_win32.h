// The progress window shown while the payload is checked and unpacked.
#pragma once

#include <stdint.h>

namespace sfx {

struct RunState;

// Registers the class, shows the window centred on the screen and creates its fonts. The run
// goes on without a window when any of this fails.
void CreateProgressWindow(const RunState* run, uint8_t langIndex);
// Dispatches every pending message of the thread.
void PumpMessages();
// Repaints the bar alone, at once.
void RefreshProgressBar();
void DestroyProgressWindow();

} // namespace sfx

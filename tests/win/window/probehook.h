// What windowprobe and its hook library share: the message that asks for a measurement and the
// shared memory that carries the answer back.
#pragma once

// Sent to a control; the hook answers with the width of the control's widest text line in the
// control's own font, or -1.
inline constexpr const char* kMeasureMessage = "windowprobe.measure";
// A named mapping of one LONG that holds the answer.
inline constexpr const char* kAnswerMapping = "windowprobe.answer";

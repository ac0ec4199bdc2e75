// What windowprobe and its hook library share: the message that asks for a measurement and the
// shared memory that carries the answer back.
#pragma once

// Sent to a control; the hook answers with the width of the control's widest text line in the
// control's own font (or -1), and with how far its underline, if it has one, reaches past its
// text as it paints itself.
inline constexpr const char* kMeasureMessage = "windowprobe.measure";
// A named mapping of two LONGs that hold the answer.
inline constexpr const char* kAnswerMapping = "windowprobe.answer";

// How packrig-inspect shows bytes it does not trust: stored names and identifiers (in the target
// code page, Windows-1252 unless told) and the path of the SFX file (Linux bytes, UTF-8 when well
// made).
//
// The text forms never carry a control character or an invalid UTF-8 sequence: such a byte is
// shown as "<XX>", its value in two upper-case hexadecimal digits, and "<" itself as "<3C>".
// Windows does not allow "<" in file names, so names that unpack read as they are, and every
// "<" that the listing shows begins one such escape.
#pragma once

#include <string>
#include <string_view>

namespace inspect {

// Stored bytes (of the target code page) as UTF-8 text; control characters, DEL, "<" and the bytes
// that the code page leaves undefined are escaped.
std::string ShownStored(std::string_view stored);

// Bytes of a Linux path as UTF-8 text; control characters (C0, DEL and C1), "<" and the bytes of
// invalid UTF-8 sequences are escaped.
std::string ShownPath(std::string_view bytes);

// Bytes as valid UTF-8: each byte of an invalid sequence becomes U+FFFD, the rest stays.
std::string ValidUtf8(std::string_view bytes);

} // namespace inspect

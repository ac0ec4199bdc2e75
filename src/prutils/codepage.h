// Conversions between UTF-8 (Linux names and terminals) and the Windows ANSI code pages that the
// builder stores names in and that its caption texts are written in.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace prutils {

enum class CodePage { Windows1251 = 1251, Windows1252 = 1252 };

// Bytes of `cp` as UTF-8; bytes that the code page leaves undefined become U+FFFD.
std::string ToUtf8(std::string_view bytes, CodePage cp);

// UTF-8 text as Windows-1252 bytes, or nothing when it is not valid UTF-8 or holds a character
// that the code page cannot represent.
std::optional<std::string> Utf8ToWindows1252(std::string_view utf8);

// Decodes one UTF-8 sequence at `i`, advancing it; nothing for a malformed or overlong one.
std::optional<char32_t> NextCodePoint(std::string_view s, size_t& i);

// Upper-cases Windows-1252 bytes as the Windows ANSI functions do for that code page.
std::string UpperWindows1252(std::string_view bytes);

} // namespace prutils

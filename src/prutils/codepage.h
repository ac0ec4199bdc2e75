// Conversions between UTF-8 (Linux names and terminals) and the single-byte Windows ANSI code
// pages that the builder stores names in and that its caption texts are written in, with the
// composition, upper-casing and ordering of names as Windows applies them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace prutils {

enum class CodePage {
    Windows1250 = 1250, // Central European
    Windows1251 = 1251, // Cyrillic
    Windows1252 = 1252, // Western European
    Windows1253 = 1253, // Greek
    Windows1254 = 1254, // Turkish
    Windows1257 = 1257, // Baltic
    Utf8 = 65001,       // names as Windows holds them, in UTF-8: every name can be stored
};

// The code page whose number `text` gives in decimal, or UTF-8 for "utf-8" (in either case),
// or nothing for text that names none of the code pages above.
std::optional<CodePage> CodePageNamed(std::string_view text);
// The numbers of the single-byte code pages above, for messages: "1250, 1251, ...".
std::string CodePageNumbers();
// What the option takes, for messages: "1250, 1251, ..., utf-8".
std::string CodePageNames();
// The code page as the user names it: "1252", "utf-8".
std::string CodePageName(CodePage cp);

// The ANSI code page of the systems an SFX file is written for, which Windows takes from the
// system and the Linux builder from its command line; Windows-1252 until set.
void SetTargetCodePage(CodePage cp);
CodePage TargetCodePage();

// Bytes of `cp` as UTF-8; bytes that the code page leaves undefined become U+FFFD.
std::string ToUtf8(std::string_view bytes, CodePage cp);

// UTF-8 text, composed first (so that "e" with a combining acute is "é"), as bytes of `cp`; or
// nothing when it is not valid UTF-8 or holds a character that `cp` cannot represent. For UTF-8
// the text stays as it is: Windows keeps a name's characters as they were given.
std::optional<std::string> Utf8ToCodePage(std::string_view utf8, CodePage cp);

// Decodes one UTF-8 sequence at `i`, advancing it; nothing for a malformed or overlong one.
std::optional<char32_t> NextCodePoint(std::string_view s, size_t& i);
bool IsValidUtf8(std::string_view s);
// The number of UTF-16 code units of valid UTF-8 text: its length as Windows counts it.
size_t Utf16Length(std::string_view utf8);

// Upper-cases bytes of `cp` as the Windows ANSI functions do: a character whose upper case the
// code page does not hold stays as it is.
std::string UpperInCodePage(std::string_view bytes, CodePage cp);

// The key that NTFS orders the names of a folder by: the UTF-16 code units of the composed
// name's upper case, compared as unsigned numbers. Text that is not valid UTF-8 keys by its
// bytes.
std::u16string ListingOrderKey(std::string_view utf8);

} // namespace prutils

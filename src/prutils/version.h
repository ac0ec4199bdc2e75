// The program's version as text, its major.minor cut for captions, and opening a web or e-mail
// address with the desktop's default handler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace prutils {

// The version of this build, "a.b.c.d" (the project's version).
std::string BuildVersion();

// "a.b.c.d" from the fixed part of a version resource (dwFileVersionMS, dwFileVersionLS).
std::string VersionText(uint32_t versionMS, uint32_t versionLS);

// The file version of `path` as "a.b.c.d", or empty when the file has no readable version
// information.
std::string FileVersionString(const std::string& path);

// The text before the second "."; a text with fewer than two "." is returned whole.
std::string MajorMinorVersion(std::string_view version);

// Opens `text` with the default handler. Returns false, opening nothing, when the text is blank;
// otherwise whether the handler could be started. The text is handed on untrimmed.
bool ShellOpen(const std::string& text);

} // namespace prutils

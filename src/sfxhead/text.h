// Small text helpers of the runtime module, which has no C runtime: lengths, bounded copies,
// and the texts it composes (sizes, error reports, handed-on arguments, percentages).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sfx {

size_t TextLength(const char* s);

// Appends `n` bytes of `src` to the zero-terminated text in `dst` of capacity `cap`, cutting
// what does not fit. Returns the new length.
size_t AppendBytes(char* dst, size_t cap, const char* src, size_t n);
inline size_t AppendText(char* dst, size_t cap, const char* src) {
    return AppendBytes(dst, cap, src, TextLength(src));
}
inline size_t CopyText(char* dst, size_t cap, const char* src) {
    if (cap > 0)
        dst[0] = 0;
    return AppendText(dst, cap, src);
}

// Decimal text of `v` into `out` (at least 21 bytes); returns its length.
size_t FormatInteger(int64_t v, char* out);

// `n` bytes as a short human-readable size ("1023 B", "1.5 kB", "1.00 MB", "-1 B"), with
// `decimalSeparator` between whole and fraction. `out` needs at least 32 bytes.
void FormatSize(int64_t n, char decimalSeparator, char* out);

// The free-space detail "C:\   (free<needed)" into `out` (at least 80 bytes).
void FormatSpaceDetail(char drive, int64_t freeBytes, int64_t needed, char decimalSeparator,
                       char* out);

// The error report shown to the user: the system's message text with trailing control
// characters, blanks and full stops removed, then either its first "%1" replaced by `subject`
// or `subject`, an empty line and the text.
void ComposeReport(const char* systemText, const char* subject, char* out, size_t cap);

// The arguments of `commandLine` after the program's own path, each as a blank and the argument
// in double quotes, escaped so that a program splitting its command line by the C runtime's rules
// gets every argument back unchanged. The command line is split by the same rules: blanks and
// tabs separate, double quotes group, backslashes escape only before a double quote, and a
// doubled double quote inside a group stands for one. An empty argument is handed on as "".
// `out` needs ParametersCapacity(commandLine) code units; both work on char and wchar_t texts.
template <class Char> size_t ParametersCapacity(const Char* commandLine);
template <class Char> void BuildParameters(const Char* commandLine, Char* out, size_t cap);

// True if `c` ends a text without meaning: a control character, a blank or a full stop.
inline bool IsTrailingNoise(char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == '.';
}

} // namespace sfx

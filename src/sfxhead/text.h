// Small text helpers of the runtime module, which has no C runtime: lengths, bounded copies,
// and the texts it composes (sizes, error reports, handed-on arguments, percentages).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sfx {

// Text helpers over any code unit: char for stored names and window texts, wchar_t for paths.
template <class C> size_t TextLength(const C* s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

// Appends `n` units of `src` to the zero-terminated text in `dst` of capacity `cap`, cutting
// what does not fit. Returns the new length.
template <class C> size_t AppendBytes(C* dst, size_t cap, const C* src, size_t n) {
    size_t len = TextLength(dst);
    if (cap == 0)
        return 0;
    if (n > cap - 1 - len)
        n = cap - 1 - len;
    for (size_t i = 0; i < n; ++i)
        dst[len + i] = src[i];
    dst[len + n] = 0;
    return len + n;
}
template <class C> size_t AppendText(C* dst, size_t cap, const C* src) {
    return AppendBytes(dst, cap, src, TextLength(src));
}
template <class C> size_t CopyText(C* dst, size_t cap, const C* src) {
    if (cap > 0)
        dst[0] = 0;
    return AppendText(dst, cap, src);
}
// Appends ASCII text to a text of wider units.
template <class C> size_t AppendAscii(C* dst, size_t cap, const char* src) {
    size_t len = TextLength(dst);
    while (*src != 0 && len + 1 < cap)
        dst[len++] = static_cast<C>(*src++);
    if (cap > 0)
        dst[len] = 0;
    return len;
}

// Decimal text of `v` into `out` (at least 21 bytes); returns its length.
size_t FormatInteger(int64_t v, char* out);

// `n` bytes as a short human-readable size ("1023 B", "1.5 kB", "1.00 MB", "-1 B"), with
// `decimalSeparator` between whole and fraction. `out` needs at least 32 bytes.
void FormatSize(int64_t n, char decimalSeparator, char* out);

// The free-space detail "C:\   (free<needed)" into `out` of capacity `cap`: `root` (the drive,
// or the folder where it has no letter), three blanks and the two sizes.
void FormatSpaceDetail(const wchar_t* root, int64_t freeBytes, int64_t needed,
                       char decimalSeparator, wchar_t* out, size_t cap);

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
inline bool IsTrailingNoise(wchar_t c) {
    return static_cast<unsigned long>(c) <= 0x20 || c == L'.';
}

// The error report shown to the user: the system's message text with trailing control
// characters, blanks and full stops removed, then either its first "%1" replaced by `subject`
// or `subject`, an empty line and the text.
template <class C> void ComposeReport(const C* systemText, const C* subject, C* out, size_t cap) {
    size_t len = TextLength(systemText);
    while (len > 0 && IsTrailingNoise(systemText[len - 1]))
        --len;
    size_t insert = len;
    for (size_t i = 0; i + 1 < len; ++i) {
        if (systemText[i] == '%' && systemText[i + 1] == '1') {
            insert = i;
            break;
        }
    }
    if (cap > 0)
        out[0] = 0;
    if (insert < len) {
        AppendBytes(out, cap, systemText, insert);
        AppendText(out, cap, subject);
        AppendBytes(out, cap, systemText + insert + 2, len - insert - 2);
    } else {
        AppendText(out, cap, subject);
        AppendAscii(out, cap, "\r\n\r\n");
        AppendBytes(out, cap, systemText, len);
    }
}

} // namespace sfx

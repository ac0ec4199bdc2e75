// Escaped and valid UTF-8 forms of untrusted bytes; see display.h.
#include "display.h"

#include "codepage.h"

#include <cstdio>

namespace inspect {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

void AppendEscape(std::string& out, unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "<%02X>", byte);
    out += text;
}

bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

} // namespace

std::string ShownStored(std::string_view stored) {
    if (prutils::TargetCodePage() == prutils::CodePage::Utf8)
        return ShownPath(stored);
    std::string out;
    for (char c : stored) {
        unsigned char byte = static_cast<unsigned char>(c);
        std::string utf8 = prutils::ToUtf8(std::string_view(&c, 1), prutils::TargetCodePage());
        // 0x80-0x9F are printable characters (or undefined) in the Windows code pages, not C1
        // controls.
        if (byte < 0x20 || byte == 0x7F || byte == '<' || utf8 == kReplacement)
            AppendEscape(out, byte);
        else
            out += utf8;
    }
    return out;
}

std::string ShownPath(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t start = i;
        std::optional<char32_t> c = prutils::NextCodePoint(bytes, i);
        if (c && !IsControl(*c) && *c != '<') {
            out.append(bytes.substr(start, i - start));
            continue;
        }
        // A control character is escaped byte by byte; a malformed sequence only by its first
        // byte, the next one starting over.
        i = c ? i : start + 1;
        for (size_t k = start; k < i; ++k)
            AppendEscape(out, static_cast<unsigned char>(bytes[k]));
    }
    return out;
}

std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t start = i;
        if (prutils::NextCodePoint(bytes, i)) {
            out.append(bytes.substr(start, i - start));
        } else {
            out += kReplacement;
            i = start + 1;
        }
    }
    return out;
}

} // namespace inspect

// Code page conversions over the generated tables of codepage_tables.cpp: decoding and encoding
// single-byte code pages, canonical composition of what they can hold, and upper-casing.
#include "codepage.h"

#include "codepage_tables.h"

#include <algorithm>
#include <cstdint>

namespace prutils {

namespace {

CodePage g_targetCodePage = CodePage::Windows1252;

// No precomposed character of the supported code pages lies below U+00C0.
constexpr char32_t kFirstComposed = 0xC0;

const tables::CodePageTable* FindTable(int number) {
    const tables::CodePageTable* end = tables::kCodePages + tables::kCodePageCount;
    const tables::CodePageTable* table =
        std::find_if(tables::kCodePages, end,
                     [&](const tables::CodePageTable& t) { return t.number == number; });
    return table != end ? table : nullptr;
}

// Every CodePage has its table (a unit test checks it).
const tables::CodePageTable& TableOf(CodePage cp) {
    return *FindTable(static_cast<int>(cp));
}

char16_t Decode(unsigned char b, const tables::CodePageTable& table) {
    return b < 0x80 ? b : table.upperHalf[b - 0x80];
}

std::optional<char> Encode(char32_t c, const tables::CodePageTable& table) {
    if (c < 0x80)
        return static_cast<char>(c);
    if (c == tables::kUndefined)
        return std::nullopt;
    const char16_t* end = table.upperHalf + 128;
    const char16_t* at = std::find(table.upperHalf, end, c);
    if (at == end)
        return std::nullopt;
    return static_cast<char>(0x80 + (at - table.upperHalf));
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::optional<char32_t> NextCodePoint(std::string_view s, size_t& i) {
    unsigned char lead = static_cast<unsigned char>(s[i++]);
    if (lead < 0x80)
        return lead;
    int extra = lead >= 0xF0 && lead < 0xF5 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (extra < 0 || lead >= 0xF5 || i + static_cast<size_t>(extra) > s.size())
        return std::nullopt;
    char32_t c = lead & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        unsigned char b = static_cast<unsigned char>(s[i++]);
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    return c;
}

namespace {

std::optional<std::u32string> DecodeUtf8(std::string_view utf8) {
    std::u32string text;
    text.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        std::optional<char32_t> c = NextCodePoint(utf8, i);
        if (!c)
            return std::nullopt;
        text += *c;
    }
    return text;
}

int CombiningClassOf(char32_t c) {
    const tables::CombiningClass* begin = tables::kCombiningClasses;
    const tables::CombiningClass* end = begin + tables::kCombiningClassCount;
    const tables::CombiningClass* at = std::lower_bound(
        begin, end, c, [](const tables::CombiningClass& e, char32_t m) { return e.mark < m; });
    return at != end && at->mark == c ? at->value : 0;
}

const tables::Composition* DecompositionOf(char32_t c) {
    if (c < kFirstComposed || c > 0xFFFF)
        return nullptr;
    const tables::Composition* end = tables::kCompositions + tables::kCompositionCount;
    const tables::Composition* at = std::find_if(
        tables::kCompositions, end, [&](const tables::Composition& e) { return e.composed == c; });
    return at != end ? at : nullptr;
}

std::optional<char32_t> Composed(char32_t base, char32_t mark) {
    const tables::Composition* begin = tables::kCompositions;
    const tables::Composition* end = begin + tables::kCompositionCount;
    const tables::Composition* at =
        std::lower_bound(begin, end, std::pair(base, mark),
                         [](const tables::Composition& e, std::pair<char32_t, char32_t> k) {
                             return std::pair<char32_t, char32_t>(e.base, e.mark) < k;
                         });
    if (at == end || at->base != base || at->mark != mark)
        return std::nullopt;
    return at->composed;
}

void AppendDecomposed(char32_t c, std::u32string& out) {
    if (const tables::Composition* parts = DecompositionOf(c)) {
        AppendDecomposed(parts->base, out);
        out += parts->mark;
        return;
    }
    out += c;
}

// Marks that follow one another are put in the order of their combining classes.
void OrderMarks(std::u32string& text) {
    for (size_t i = 1; i < text.size(); ++i) {
        int cc = CombiningClassOf(text[i]);
        if (cc == 0)
            continue;
        for (size_t j = i; j > 0 && CombiningClassOf(text[j - 1]) > cc; --j)
            std::swap(text[j - 1], text[j]);
    }
}

// Canonical composition (NFC) as far as the tables reach: every composition that yields a
// character of a supported code page. A mark that composes with nothing stays, and such a name
// then has no representation in any of them.
std::u32string Compose(const std::u32string& text) {
    std::u32string decomposed;
    for (char32_t c : text)
        AppendDecomposed(c, decomposed);
    OrderMarks(decomposed);
    std::u32string out;
    size_t starter = std::u32string::npos;
    int lastClass = 0;
    for (char32_t c : decomposed) {
        int cc = CombiningClassOf(c);
        if (starter != std::u32string::npos && cc != 0) {
            bool adjacent = out.size() == starter + 1;
            if (adjacent || lastClass < cc) {
                if (std::optional<char32_t> composed = Composed(out[starter], c)) {
                    out[starter] = *composed;
                    continue;
                }
            }
        }
        if (cc == 0)
            starter = out.size();
        out += c;
        lastClass = cc;
    }
    return out;
}

char32_t UpperOf(char32_t c) {
    if (c >= 'a' && c <= 'z')
        return c - 0x20;
    if (c < 0x80 || c > 0xFFFF)
        return c;
    const tables::CaseMapping* begin = tables::kUpperCase;
    const tables::CaseMapping* end = begin + tables::kUpperCaseCount;
    const tables::CaseMapping* at = std::lower_bound(
        begin, end, c, [](const tables::CaseMapping& e, char32_t k) { return e.lower < k; });
    return at != end && at->lower == c ? at->upper : c;
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
        return;
    }
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (c >> 10));
    out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
}

// Bytes as UTF-8 with each malformed sequence's first byte replaced by U+FFFD.
std::string ValidUtf8(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t start = i;
        std::optional<char32_t> c = NextCodePoint(bytes, i);
        if (!c)
            i = start + 1;
        AppendUtf8(out, c.value_or(0xFFFD));
    }
    return out;
}

// The upper case of UTF-8 text character by character; malformed bytes stay as they are.
std::string UpperUtf8(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        size_t start = i;
        if (std::optional<char32_t> c = NextCodePoint(utf8, i)) {
            AppendUtf8(out, UpperOf(*c));
        } else {
            i = start + 1;
            out += utf8[start];
        }
    }
    return out;
}

} // namespace

std::optional<CodePage> CodePageNamed(std::string_view text) {
    if (text.size() == 5 && (text[0] | 0x20) == 'u' && (text[1] | 0x20) == 't' &&
        (text[2] | 0x20) == 'f' && text.substr(3) == "-8")
        return CodePage::Utf8;
    std::string_view digits = text;
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || number > 9999)
            return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (digits.empty() || !FindTable(number))
        return std::nullopt;
    return static_cast<CodePage>(number);
}

std::string CodePageNumbers() {
    std::string text;
    for (const tables::CodePageTable& table : tables::kCodePages)
        text += (text.empty() ? "" : ", ") + std::to_string(table.number);
    return text;
}

std::string CodePageNames() {
    return CodePageNumbers() + ", " + CodePageName(CodePage::Utf8);
}

std::string CodePageName(CodePage cp) {
    return cp == CodePage::Utf8 ? "utf-8" : std::to_string(static_cast<int>(cp));
}

void SetTargetCodePage(CodePage cp) {
    g_targetCodePage = cp;
}

CodePage TargetCodePage() {
    return g_targetCodePage;
}

bool IsValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();)
        if (!NextCodePoint(s, i))
            return false;
    return true;
}

size_t Utf16Length(std::string_view utf8) {
    size_t n = 0;
    for (size_t i = 0; i < utf8.size();)
        n += NextCodePoint(utf8, i).value_or(0) >= 0x10000 ? 2 : 1;
    return n;
}

std::string ToUtf8(std::string_view bytes, CodePage cp) {
    if (cp == CodePage::Utf8)
        return ValidUtf8(bytes);
    const tables::CodePageTable& table = TableOf(cp);
    std::string out;
    out.reserve(bytes.size());
    for (char b : bytes)
        AppendUtf8(out, Decode(static_cast<unsigned char>(b), table));
    return out;
}

std::optional<std::string> Utf8ToCodePage(std::string_view utf8, CodePage cp) {
    std::optional<std::u32string> text = DecodeUtf8(utf8);
    if (!text)
        return std::nullopt;
    if (cp == CodePage::Utf8)
        return std::string(utf8);
    const tables::CodePageTable& table = TableOf(cp);
    std::string out;
    out.reserve(text->size());
    for (char32_t c : Compose(*text)) {
        std::optional<char> b = Encode(c, table);
        if (!b)
            return std::nullopt;
        out += *b;
    }
    return out;
}

std::string UpperInCodePage(std::string_view bytes, CodePage cp) {
    if (cp == CodePage::Utf8)
        return UpperUtf8(bytes);
    const tables::CodePageTable& table = TableOf(cp);
    std::string out(bytes);
    for (char& ch : out) {
        char16_t c = Decode(static_cast<unsigned char>(ch), table);
        if (c != tables::kUndefined)
            ch = Encode(UpperOf(c), table).value_or(ch);
    }
    return out;
}

std::u16string ListingOrderKey(std::string_view utf8) {
    std::u16string key;
    std::optional<std::u32string> text = DecodeUtf8(utf8);
    if (!text) {
        for (char b : utf8)
            key += static_cast<char16_t>(static_cast<unsigned char>(b));
        return key;
    }
    for (char32_t c : Compose(*text))
        AppendUtf16(key, UpperOf(c));
    return key;
}

} // namespace prutils

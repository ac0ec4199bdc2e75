// Text helpers of the runtime module; see text.h.
#include "text.h"

namespace sfx {

namespace {

// Divides `v` by 10 and returns the remainder, in 16-bit steps with 32-bit arithmetic: the
// module links no 64-bit division routine.
uint32_t DivideBy10(uint64_t& v) {
    uint64_t quotient = 0;
    uint32_t remainder = 0;
    for (int shift = 48; shift >= 0; shift -= 16) {
        uint32_t part = (remainder << 16) | static_cast<uint32_t>((v >> shift) & 0xFFFF);
        quotient |= uint64_t{part / 10} << shift;
        remainder = part % 10;
    }
    v = quotient;
    return remainder;
}

size_t FormatUnsigned(uint64_t v, char* out) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + DivideBy10(v));
    } while (v != 0);
    for (size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = 0;
    return n;
}

// Fraction digits of remainder / 2^shift, rounded half up to `decimals` places; sets `carry`
// when the rounding reaches the next whole unit.
uint64_t RoundedFraction(uint64_t remainder, unsigned shift, uint64_t scale, bool& carry) {
    uint64_t half = shift > 0 ? uint64_t{1} << (shift - 1) : 0;
    uint64_t f = (remainder * scale + half) >> shift;
    carry = f >= scale;
    return carry ? f - scale : f;
}

struct SizeUnit {
    unsigned shift;
    unsigned decimals;
    const char* suffix;
};

const SizeUnit kUnits[] = {
    {40, 4, " TB"}, {30, 3, " GB"}, {20, 2, " MB"}, {10, 1, " kB"}, {0, 0, " B"}};

} // namespace

size_t FormatInteger(int64_t v, char* out) {
    if (v < 0) {
        out[0] = '-';
        return 1 + FormatUnsigned(0 - static_cast<uint64_t>(v), out + 1);
    }
    return FormatUnsigned(static_cast<uint64_t>(v), out);
}

void FormatSize(int64_t n, char decimalSeparator, char* out) {
    uint64_t a = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    const SizeUnit* unit = kUnits;
    while (unit->shift != 0 && a < (uint64_t{1} << unit->shift))
        ++unit;
    uint64_t scale = 1;
    for (unsigned i = 0; i < unit->decimals; ++i)
        scale *= 10;
    bool carry = false;
    uint64_t remainder = a & ((uint64_t{1} << unit->shift) - 1);
    uint64_t fraction = RoundedFraction(remainder, unit->shift, scale, carry);
    uint64_t whole = (a >> unit->shift) + (carry ? 1 : 0);

    size_t len = 0;
    if (n < 0)
        out[len++] = '-';
    len += FormatUnsigned(whole, out + len);
    if (unit->decimals > 0) {
        out[len++] = decimalSeparator;
        char digits[24];
        size_t d = FormatUnsigned(fraction, digits);
        for (size_t i = d; i < unit->decimals; ++i)
            out[len++] = '0';
        for (size_t i = 0; i < d; ++i)
            out[len++] = digits[i];
    }
    out[len] = 0;
    AppendText(out, 32, unit->suffix);
}

void FormatSpaceDetail(const wchar_t* root, int64_t freeBytes, int64_t needed,
                       char decimalSeparator, wchar_t* out, size_t cap) {
    char size[32];
    CopyText(out, cap, root);
    AppendAscii(out, cap, "   (");
    FormatSize(freeBytes, decimalSeparator, size);
    AppendAscii(out, cap, size);
    AppendAscii(out, cap, "<");
    FormatSize(needed, decimalSeparator, size);
    AppendAscii(out, cap, size);
    AppendAscii(out, cap, ")");
}

namespace {

template <class Char> bool IsBlank(Char c) {
    return c == ' ' || c == '\t';
}

// Moves past the program's own path: Windows reads it up to the first blank outside double
// quotes, and a backslash there escapes nothing.
template <class Char> const Char* SkipProgramPath(const Char* p) {
    bool quoted = false;
    for (; *p != 0 && (quoted || !IsBlank(*p)); ++p) {
        if (*p == '"')
            quoted = !quoted;
    }
    return p;
}

// Writes every argument after the program path to `out`, as far as `cap` leaves room for it and
// a closing zero, each as a blank and the argument in double quotes; returns the full length, so
// that one pass serves both the capacity and the text.
//
// Arguments are read by the C runtime's rules: backslashes are literal unless a double quote
// follows them, then they stand in pairs for one backslash, and an odd one makes the quote
// literal; inside double quotes a doubled double quote stands for one. Written, backslashes stay as
// they are unless a double quote follows them, the argument's own or the closing one; then they are
// doubled, and the argument's own double quote gets one more backslash.
template <class Char> size_t PutQuotedArguments(const Char* p, Char* out, size_t cap) {
    size_t length = 0;
    size_t backslashes = 0; // of the argument, not yet written
    // Writes `n` backslashes and `c`.
    auto put = [&](size_t n, Char c) {
        for (size_t i = 0; i <= n; ++i, ++length) {
            if (length + 1 < cap)
                out[length] = i < n ? Char('\\') : c;
        }
    };
    for (p = SkipProgramPath(p);;) {
        while (IsBlank(*p))
            ++p;
        if (*p == 0)
            break;
        put(0, Char(' '));
        put(0, Char('"'));
        for (bool quoted = false;;) {
            size_t n = 0;
            while (p[n] == '\\')
                ++n;
            bool beforeQuote = p[n] == '"';
            backslashes += beforeQuote ? n / 2 : n;
            p += n;
            Char literal = 0;
            if (beforeQuote && n % 2 == 1) {
                literal = *p++;
            } else if (*p == 0 || (!quoted && IsBlank(*p))) {
                break;
            } else if (*p != '"') {
                literal = *p++;
            } else if (quoted && p[1] == '"') {
                literal = *p;
                p += 2;
            } else {
                quoted = !quoted;
                ++p;
                continue;
            }
            put(literal == '"' ? 2 * backslashes + 1 : backslashes, literal);
            backslashes = 0;
        }
        put(2 * backslashes, Char('"'));
        backslashes = 0;
    }
    if (cap > 0)
        out[length < cap ? length : cap - 1] = 0;
    return length;
}

} // namespace

template <class Char> size_t ParametersCapacity(const Char* commandLine) {
    return PutQuotedArguments<Char>(commandLine, nullptr, 0) + 1;
}

template <class Char> void BuildParameters(const Char* commandLine, Char* out, size_t cap) {
    PutQuotedArguments(commandLine, out, cap);
}

template size_t ParametersCapacity(const char*);
template size_t ParametersCapacity(const wchar_t*);
template void BuildParameters(const char*, char*, size_t);
template void BuildParameters(const wchar_t*, wchar_t*, size_t);

} // namespace sfx

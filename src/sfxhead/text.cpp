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

bool IsSeparator(char c) {
    return c != 0 && static_cast<unsigned char>(c) <= 0x20;
}

// Moves `p` to the start of the next argument, skipping separators and leading "" pairs. A lone
// quote that ends the text opens nothing: it would otherwise hand on an empty argument.
const char* SkipToArgument(const char* p) {
    for (;;) {
        while (IsSeparator(*p))
            ++p;
        if (p[0] == '"' && p[1] == '"')
            p += 2;
        else if (p[0] == '"' && p[1] == 0)
            return p + 1;
        else
            return p;
    }
}

// Hands each argument of `p` (its bytes without the quotes) to `emit`, one byte at a time,
// calling `begin` before each; returns the position after the argument.
template <class Begin, class Emit> const char* ReadArgument(const char* p, Begin begin, Emit emit) {
    begin();
    while (*p != 0 && !IsSeparator(*p)) {
        if (*p == '"') {
            ++p;
            while (*p != 0 && *p != '"')
                emit(*p++);
            if (*p == '"')
                ++p;
        } else {
            emit(*p++);
        }
    }
    return p;
}

template <class Begin, class Emit, class End>
void ForEachArgument(const char* commandLine, Begin begin, Emit emit, End end) {
    const char* p = SkipToArgument(commandLine);
    p = ReadArgument(
        p, [] {}, [](char) {});
    for (p = SkipToArgument(p); *p != 0; p = SkipToArgument(p)) {
        p = ReadArgument(p, begin, emit);
        end();
    }
}

} // namespace

size_t ParametersCapacity(const char* commandLine) {
    size_t n = 1;
    ForEachArgument(
        commandLine, [&] { n += 2; }, [&](char) { ++n; }, [&] { ++n; });
    return n;
}

void BuildParameters(const char* commandLine, char* out, size_t cap) {
    size_t len = 0;
    auto put = [&](char c) {
        if (len + 1 < cap)
            out[len++] = c;
    };
    ForEachArgument(
        commandLine,
        [&] {
            put(' ');
            put('"');
        },
        put, [&] { put('"'); });
    if (cap > 0)
        out[len] = 0;
}

} // namespace sfx

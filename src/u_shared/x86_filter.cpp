// The x86 branch converter. An E8 or E9 byte followed by a 32-bit operand whose top byte is 00
// or FF (a near target) has that operand turned between relative and absolute. The converter
// keeps a small memory of the last three bytes: an E8/E9 byte that was left alone there may be
// the real opcode, with the current byte among its operand bytes, and that decides whether the
// current one is converted.
#include "x86_filter.h"

namespace payload {
namespace {

// The memory is a 3-bit mask relative to the byte being looked at: bit 2 set means the byte
// one before it was an E8/E9 left unconverted, bit 1 two before, bit 0 three before.
constexpr uint32_t kJustBefore = 4;
constexpr uint32_t kOperandBytes = 4;

bool IsOpcode(uint8_t b) {
    return (b & 0xFE) == 0xE8;
}

bool IsNearTop(uint8_t b) {
    return b == 0x00 || b == 0xFF;
}

// True when an unconverted E8/E9 shortly before makes the opcode at `at` part of its operand:
// two of them within three bytes, or one whose operand's top byte (which lies inside this
// candidate's operand) looks near.
bool LeftAloneBecauseOfPrevious(const uint8_t* at, uint32_t mask) {
    if (mask == 0)
        return false;
    if (mask != 1 && mask != 2 && mask != kJustBefore)
        return true;
    const uint32_t back = mask == kJustBefore ? 1 : mask == 2 ? 2 : 3;
    return IsNearTop(at[kOperandBytes - back]);
}

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t Shift(uint32_t operand, uint32_t next, bool encode) {
    return encode ? operand + next : operand - next;
}

// Converts the operand at `at` (the opcode's position) with `next` the stream position after
// the instruction. When a previous unconverted E8/E9 shares this operand, the byte of the
// result at that opcode's top operand byte must not look near, or the converter would read it
// differently on the way back: then the bits up to that byte are flipped and converted again.
void ConvertOperand(uint8_t* at, uint32_t next, uint32_t mask, bool encode) {
    uint32_t v = Shift(ReadLe32(at + 1), next, encode);
    if (mask != 0) {
        const uint32_t back = mask == kJustBefore ? 1 : mask == 2 ? 2 : 3;
        const uint32_t shift = 8 * (3 - back);
        if (IsNearTop(static_cast<uint8_t>(v >> shift)))
            v = Shift(v ^ ((0x100u << shift) - 1), next, encode);
    }
    at[1] = static_cast<uint8_t>(v);
    at[2] = static_cast<uint8_t>(v >> 8);
    at[3] = static_cast<uint8_t>(v >> 16);
    at[4] = (v >> 24) & 1 ? 0xFF : 0x00;
}

uint32_t MaskAfterGap(uint32_t mask, uint32_t gap) {
    return gap > 2 ? 0 : mask >> gap;
}

uint32_t ReadLe16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

// PE layout: the DOS header names the PE signature's offset at 0x3C; the 20-byte file header
// follows the signature, then the optional header, then 40-byte section headers.
constexpr uint32_t kPeOffsetField = 0x3C;
constexpr uint32_t kFileHeaderEnd = 24; // signature and file header
constexpr uint32_t kSectionHeader = 40;
constexpr uint32_t kCodeOrExecute = 0x00000020 | 0x20000000;

} // namespace

uint32_t X86Convert(X86State& state, uint8_t* buf, uint32_t len, bool encode) {
    if (len <= kOperandBytes)
        return 0;
    const uint32_t end = len - kOperandBytes; // opcodes before this have their whole operand
    uint32_t mask = state.prevMask & 7;
    uint32_t i = 0;
    while (i < end) {
        uint32_t j = i;
        while (j < end && !IsOpcode(buf[j]))
            ++j;
        mask = MaskAfterGap(mask, j - i);
        i = j;
        if (j == end)
            break;
        if (!LeftAloneBecauseOfPrevious(buf + j, mask) && IsNearTop(buf[j + kOperandBytes])) {
            ConvertOperand(buf + j, state.pos + j + 1 + kOperandBytes, mask, encode);
            mask = 0;
            i = j + 1 + kOperandBytes;
        } else {
            mask = (mask >> 1) | kJustBefore;
            i = j + 1;
        }
    }
    state.pos += i;
    state.prevMask = mask;
    return i;
}

X86Span FindX86Code(const uint8_t* head, uint32_t headSize, uint32_t fileSize) {
    const uint32_t n = headSize < kCodeProbeSize ? headSize : kCodeProbeSize;
    if (n < kPeOffsetField + 4)
        return {};
    const uint32_t pe = ReadLe32(head + kPeOffsetField);
    if (pe > n - kFileHeaderEnd)
        return {};
    const uint32_t sections = ReadLe16(head + pe + 6);
    const uint32_t table = pe + kFileHeaderEnd + ReadLe16(head + pe + 20);
    if (table > n || (n - table) / kSectionHeader < sections)
        return {};
    uint32_t begin = 0xFFFFFFFF;
    uint32_t end = 0;
    for (const uint8_t* s = head + table; s < head + table + sections * kSectionHeader;
         s += kSectionHeader) {
        const uint32_t rawSize = ReadLe32(s + 16);
        const uint32_t rawStart = ReadLe32(s + 20);
        if ((ReadLe32(s + 36) & kCodeOrExecute) == 0 || rawSize == 0 || rawStart >= fileSize)
            continue;
        const uint32_t rawEnd = rawSize > fileSize - rawStart ? fileSize : rawStart + rawSize;
        begin = rawStart < begin ? rawStart : begin;
        end = rawEnd > end ? rawEnd : end;
    }
    // The span never takes in the bytes read here, so that they read alike before and after
    // conversion, however an image lays out its sections.
    const uint32_t tableEnd = table + sections * kSectionHeader;
    begin = begin < tableEnd ? tableEnd : begin;
    return begin < end ? X86Span{begin, end} : X86Span{};
}

uint32_t X86ConvertSpan(X86State& state, X86Span span, uint32_t offset, uint8_t* buf, uint32_t len,
                        bool encode) {
    if (span.begin >= span.end || span.end <= offset)
        return len;
    const uint32_t from = span.begin > offset ? span.begin - offset : 0;
    if (from >= len)
        return len;
    const uint32_t spanLeft = span.end - (offset + from);
    const bool endsHere = spanLeft <= len - from;
    const uint32_t done = X86Convert(state, buf + from, endsHere ? spanLeft : len - from, encode);
    return endsHere ? len : from + done;
}

} // namespace payload

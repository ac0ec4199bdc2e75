// The data behind the code page conversions: code page tables, upper-case mappings, canonical
// compositions and combining classes, written by tools/gen_codepage_tables.py.
#pragma once

#include <cstddef>
#include <cstdint>

namespace prutils::tables {

inline constexpr char16_t kUndefined = 0xFFFD;

// One single-byte Windows ANSI code page: the characters of the bytes 0x80 to 0xFF (0x00 to
// 0x7F are ASCII in all of them), kUndefined where the code page defines none.
struct CodePageTable {
    int number;
    char16_t upperHalf[128];
};

struct CaseMapping {
    char16_t lower;
    char16_t upper;
};

struct Composition {
    char16_t base;
    char16_t mark;
    char16_t composed;
};

struct CombiningClass {
    char16_t mark;
    uint8_t value;
};

inline constexpr size_t kCodePageCount = 6;
extern const CodePageTable kCodePages[kCodePageCount];
extern const CaseMapping kUpperCase[]; // ordered by `lower`
extern const size_t kUpperCaseCount;
extern const Composition kCompositions[]; // ordered by `base`, then `mark`
extern const size_t kCompositionCount;
extern const CombiningClass kCombiningClasses[]; // ordered by `mark`, none with value 0
extern const size_t kCombiningClassCount;

} // namespace prutils::tables

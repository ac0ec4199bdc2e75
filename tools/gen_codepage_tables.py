#!/usr/bin/env python3
"""Writes src/prutils/codepage_tables.cpp: the upper halves of the Windows ANSI code pages that
names can be stored in, the simple upper-case mappings and the canonical compositions of the
characters they hold, and the combining classes of the marks those compositions use.

The code pages come from the mapping tables that Python's codecs carry, the rest from its
unicodedata module; run it again with a newer Python to follow a newer Unicode version:

    python3 tools/gen_codepage_tables.py | clang-format --assume-filename=x.cpp \
        > src/prutils/codepage_tables.cpp
"""

import unicodedata

CODE_PAGES = [1250, 1251, 1252, 1253, 1254, 1257]
UNDEFINED = 0xFFFD


def upper_half(number):
    table = []
    for b in range(0x80, 0x100):
        try:
            table.append(ord(bytes([b]).decode("cp%d" % number)))
        except UnicodeDecodeError:
            table.append(UNDEFINED)
    return table


def held_characters(tables):
    chars = set(range(0x80))
    for table in tables.values():
        chars.update(c for c in table if c != UNDEFINED)
    return sorted(chars)


# Characters whose upper case Windows (and wine, measured through the order of its listings)
# leaves as it is, although Unicode gives one: the micro sign, whose Unicode upper case is the
# Greek capital mu.
KEPT_BY_WINDOWS = {0x00B5}


def upper_mappings(chars):
    pairs = []
    for c in chars:
        if c in KEPT_BY_WINDOWS:
            continue
        upper = chr(c).upper()
        if len(upper) == 1 and ord(upper) != c:
            pairs.append((c, ord(upper)))
    return pairs


def canonical_pair(c):
    fields = unicodedata.decomposition(chr(c)).split()
    if len(fields) != 2 or fields[0].startswith("<"):
        return None
    return int(fields[0], 16), int(fields[1], 16)


def compositions(chars):
    """(base, mark, composed) for every character that decomposes canonically, and for the
    intermediate characters of multi-mark decompositions, such as U+03CA of U+0390."""
    found = set()
    todo = [c for c in chars if c >= 0x80]
    while todo:
        c = todo.pop()
        pair = canonical_pair(c)
        if pair is None or unicodedata.combining(chr(pair[1])) == 0:
            continue
        found.add((pair[0], pair[1], c))
        todo.append(pair[0])
    return sorted(found)


def combining_classes(triples):
    marks = {mark for _, mark, _ in triples}
    marks.update(c for c in range(0x300, 0x370) if unicodedata.combining(chr(c)))
    return sorted((m, unicodedata.combining(chr(m))) for m in marks)


def rows(items, per_line, fmt):
    cells = [fmt(item) for item in items]
    for i in range(0, len(cells), per_line):
        yield "    " + " ".join(cells[i:i + per_line])


def emit_table(out, kind, name, count_name, items, per_line, fmt):
    out.append("const %s %s[%d] = {" % (kind, name, len(items)))
    out.extend(rows(items, per_line, fmt))
    out.append("};")
    out.append("const size_t %s = sizeof(%s) / sizeof(%s[0]);" % (count_name, name, name))
    out.append("")


def main():
    tables = {n: upper_half(n) for n in CODE_PAGES}
    chars = held_characters(tables)
    triples = compositions(chars)
    out = [
        "// The upper halves of the Windows ANSI code pages that names can be stored in, the simple",
        "// upper-case mappings and canonical compositions of the characters they hold, and the",
        "// combining classes of the marks involved (Unicode %s)." % unicodedata.unidata_version,
        "// Written by tools/gen_codepage_tables.py; edit that script, not this file.",
        '#include "codepage_tables.h"',
        "",
        "namespace prutils::tables {",
        "",
        "const CodePageTable kCodePages[kCodePageCount] = {",
    ]
    for n in CODE_PAGES:
        out.append("    {%d," % n)
        out.append("     {")
        out.extend(rows(tables[n], 10, lambda c: "0x%04X," % c))
        out.append("     }},")
    out.append("};")
    out.append("")
    emit_table(out, "CaseMapping", "kUpperCase", "kUpperCaseCount", upper_mappings(chars), 5,
               lambda p: "{0x%04X, 0x%04X}," % p)
    emit_table(out, "Composition", "kCompositions", "kCompositionCount", triples, 3,
               lambda t: "{0x%04X, 0x%04X, 0x%04X}," % t)
    emit_table(out, "CombiningClass", "kCombiningClasses", "kCombiningClassCount",
               combining_classes(triples), 6,
               lambda p: "{0x%04X, %d}," % p)
    out.append("} // namespace prutils::tables")
    print("\n".join(out))


if __name__ == "__main__":
    main()

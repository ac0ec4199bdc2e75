"""Damaged copies of a PE program for the builders' robustness tests: a small walker of the
resource directory, independent of the C++ reader, and one function per kind of damage. Each
function takes the program's bytes and returns the damaged bytes, or None when the program has
nothing the damage needs (no icon group, say)."""

import struct

RT_ICON, RT_GROUP_ICON = 3, 14


class Section:
    def __init__(self, data, at):
        (self.virtual_size, self.address, self.raw_size,
         self.raw_pointer) = struct.unpack_from("<IIII", data, at + 8)
        self.header = at


def sections(data):
    pe, = struct.unpack_from("<I", data, 0x3C)
    count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    table = pe + 24 + optional_size
    return [Section(data, table + 40 * i) for i in range(count)]


def resource_rva(data):
    pe, = struct.unpack_from("<I", data, 0x3C)
    magic, = struct.unpack_from("<H", data, pe + 24)
    directories = pe + 24 + (96 if magic == 0x10B else 112)
    rva, size = struct.unpack_from("<II", data, directories + 2 * 8)
    return rva if size else None


def file_offset(data, rva):
    for section in sections(data):
        if section.address <= rva < section.address + section.raw_size:
            return rva - section.address + section.raw_pointer
    return None


def resource_entries(data):
    """(type, name, language, offset of the data entry) of every resource, with IDs as ints and
    names as None; directory order."""
    root_rva = resource_rva(data)
    if root_rva is None:
        return []
    root = file_offset(data, root_rva)

    def children(directory):
        named, ids = struct.unpack_from("<HH", data, directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
            yield (None if name & 0x80000000 else name), target

    entries = []
    for type_id, types in children(root):
        for name_id, names in children(root + (types & 0x7FFFFFFF)):
            for language, leaf in children(root + (names & 0x7FFFFFFF)):
                entries.append((type_id, name_id, language, root + leaf))
    return entries


def first_group(data):
    """Offset of the first icon group's bytes and their size."""
    for type_id, _, _, entry in resource_entries(data):
        if type_id == RT_GROUP_ICON:
            rva, size = struct.unpack_from("<II", data, entry)
            at = file_offset(data, rva)
            if at is not None and size >= 6:
                return entry, at, size
    return None


def group_past_end(data):
    """The first icon group's data placed far past the end of the file: the section holding it
    claims raw data that the file does not have."""
    found = first_group(data)
    if found is None:
        return None
    entry, at, _ = found
    out = bytearray(data)
    for section in sections(data):
        if section.raw_pointer <= at < section.raw_pointer + section.raw_size:
            reach = len(data) - section.raw_pointer + 0x100000
            struct.pack_into("<I", out, section.header + 16, reach + 0x1000)
            struct.pack_into("<I", out, section.header + 8,
                             max(section.virtual_size, reach + 0x1000))
            struct.pack_into("<I", out, entry, section.address + reach)
            return bytes(out)
    return None


def truncated_resources(data):
    """The file cut off halfway through its resource section."""
    root_rva = resource_rva(data)
    if root_rva is None:
        return None
    for section in sections(data):
        if section.address <= root_rva < section.address + section.raw_size:
            return data[:section.raw_pointer + section.raw_size // 2]
    return None


def _edit_group(data, edit):
    found = first_group(data)
    if found is None:
        return None
    _, at, size = found
    out = bytearray(data)
    edit(out, at, size)
    return bytes(out)


def group_count_too_large(data):
    """The first icon group counts more images than its bytes hold."""
    return _edit_group(data, lambda out, at, size: struct.pack_into(
        "<H", out, at + 4, (size - 6) // 14 + 40))


def group_names_missing_image(data):
    """The first icon group's first entry names an image ID that the file does not hold."""
    taken = {name for t, name, _, _ in resource_entries(data) if t == RT_ICON}
    missing = next(i for i in range(0x7FFF, 0, -1) if i not in taken)
    return _edit_group(data, lambda out, at, size: struct.pack_into(
        "<H", out, at + 6 + 12, missing) if size >= 20 else None)


def empty_group(data):
    """The first icon group lists no images."""
    return _edit_group(data, lambda out, at, size: struct.pack_into("<H", out, at + 4, 0))


DAMAGES = {
    "group_past_end": group_past_end,
    "truncated_resources": truncated_resources,
    "group_count_too_large": group_count_too_large,
    "group_names_missing_image": group_names_missing_image,
    "empty_group": empty_group,
}

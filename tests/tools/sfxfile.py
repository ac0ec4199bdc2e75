"""Reader and writer of SFX files, independent of the C++ code, for end-to-end tests.

An SFX file is a PE image that ends at its last section's raw data, an 11-byte identifier
(length byte, ten hexadecimal digits), entries (17-byte header, name, data, 4-byte byte sum of
name and data) and a terminator header of 17 zero bytes. Integers are little-endian.
"""

import random
import struct
from dataclasses import dataclass, field

HEADER = struct.Struct("<BiiII")  # IsExeFile, NameLength, Size, Time, Attr
assert HEADER.size == 17


class FormatError(ValueError):
    pass


def byte_sum(*pieces):
    """Wrapping 32-bit sum of the unsigned bytes of every piece."""
    return sum(sum(p) for p in pieces) & 0xFFFFFFFF


def image_end(data):
    """End of the PE image: the greatest raw-data offset plus size over the sections that have
    raw data. Follows the full 32-bit e_lfanew; raises FormatError on a file that is no PE."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise FormatError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise FormatError("no PE signature")
    sections, = struct.unpack_from("<H", data, pe + 6)
    opt_size, = struct.unpack_from("<H", data, pe + 20)
    table = pe + 24 + opt_size
    end = 0
    for i in range(sections):
        raw_size, raw_ptr = struct.unpack_from("<II", data, table + 40 * i + 16)
        if raw_size > 0:
            end = max(end, raw_ptr + raw_size)
    if end == 0:
        raise FormatError("no section with raw data")
    return end


def dos_time(year, month, day, hour=0, minute=0, second=0):
    """MS-DOS date and time as stored in an entry header (date in the high 16 bits)."""
    date = ((year - 1980) << 9) | (month << 5) | day
    time = (hour << 11) | (minute << 5) | (second // 2)
    return (date << 16) | time


def dos_time_to_tuple(value):
    """(year, month, day, hour, minute, second) of a stored MS-DOS time."""
    date, time = value >> 16, value & 0xFFFF
    return (1980 + (date >> 9), (date >> 5) & 15, date & 31,
            time >> 11, (time >> 5) & 63, (time & 31) * 2)


DEFAULT_TIME = dos_time(2020, 5, 17, 13, 45, 30)


@dataclass
class Entry:
    name: bytes
    data: bytes = b""
    is_exe: int = 0
    time: int = DEFAULT_TIME
    attr: int = 0x20
    checksum: int = None  # None: the correct byte sum; set to corrupt it
    size: int = None  # None: len(data); set to write a lying header
    name_length: int = None  # None: len(name); set to write a lying header

    def __post_init__(self):
        if isinstance(self.name, str):
            self.name = self.name.encode("cp1252")

    def header(self):
        size = len(self.data) if self.size is None else self.size
        name_length = len(self.name) if self.name_length is None else self.name_length
        return HEADER.pack(self.is_exe, name_length, size, self.time, self.attr)

    def encode(self):
        checksum = byte_sum(self.name, self.data) if self.checksum is None else self.checksum
        return self.header() + self.name + self.data + struct.pack("<I", checksum)


@dataclass
class Parsed:
    image_end: int
    identifier: bytes
    entries: list = field(default_factory=list)
    trailing: bytes = b""
    terminated: bool = True


def random_identifier():
    return b"%010X" % random.randrange(0x7FFFFFFF)


def build(image, entries, identifier=None, terminator=True, id_length=None, trailer=b""):
    """Bytes of an SFX file. `entries` may hold Entry objects or raw bytes (written as they are)."""
    ident = random_identifier() if identifier is None else identifier
    if isinstance(ident, str):
        ident = ident.encode("ascii")
    length = len(ident) if id_length is None else id_length
    out = bytearray(image)
    out += bytes([length]) + ident.ljust(10, b"0")[:10]
    for e in entries:
        out += e if isinstance(e, (bytes, bytearray)) else e.encode()
    if terminator:
        out += bytes(17)
    out += trailer
    return bytes(out)


def write(path, image, entries, identifier=None, **kw):
    """Writes an SFX file; see build() for the arguments. Returns the bytes written."""
    data = build(image, entries, identifier, **kw)
    with open(path, "wb") as f:
        f.write(data)
    return data


def parse_bytes(data):
    end = image_end(data)
    if len(data) < end + 11:
        raise FormatError("file ends inside the identifier")
    length = min(data[end], 10)
    result = Parsed(end, bytes(data[end + 1:end + 1 + length]))
    pos = end + 11
    while True:
        if pos + 17 > len(data):
            raise FormatError("payload ends without terminator at %d" % pos)
        is_exe, name_length, size, time, attr = HEADER.unpack_from(data, pos)
        if name_length == 0 and size == 0 and time == 0 and attr == 0:
            pos += 17
            break
        if name_length < 0 or size < 0:
            raise FormatError("negative field in header at %d" % pos)
        name_at = pos + 17
        data_at = name_at + name_length
        sum_at = data_at + size
        if sum_at + 4 > len(data):
            raise FormatError("entry at %d runs past the end of the file" % pos)
        name = bytes(data[name_at:data_at])
        body = bytes(data[data_at:sum_at])
        checksum, = struct.unpack_from("<I", data, sum_at)
        result.entries.append(Entry(name=name, data=body, is_exe=is_exe, time=time, attr=attr,
                                    checksum=checksum))
        pos = sum_at + 4
    result.trailing = bytes(data[pos:])
    return result


def parse(path):
    """Parsed view of an SFX file: image_end, identifier, entries (Entry with the stored
    checksum; compare with byte_sum(e.name, e.data)) and trailing bytes after the terminator."""
    with open(path, "rb") as f:
        return parse_bytes(f.read())


def payload_offsets(data):
    """Offsets of interest in a well-formed SFX file, for cutting it short: for every entry the
    start of its header, name, data and checksum, and the terminator's offset."""
    end = image_end(data)
    pos = end + 11
    marks = []
    while True:
        is_exe, name_length, size, time, attr = HEADER.unpack_from(data, pos)
        if name_length == 0 and size == 0 and time == 0 and attr == 0:
            marks.append(("terminator", pos))
            return marks
        marks += [("header", pos), ("name", pos + 17), ("data", pos + 17 + name_length),
                  ("checksum", pos + 17 + name_length + size)]
        pos += 17 + name_length + size + 4


PACKED_HEADER = struct.Struct("<4sIIQQQI")  # Magic .. PackedCrc; HeaderCrc follows
FILTER_X86 = 1


def x86_converted(data):
    """`data` through the x86 branch converter (encoding, start position 0): liblzma's x86
    filter in front of LZMA2, decoded again by LZMA2 alone."""
    import lzma
    both = [{"id": lzma.FILTER_X86}, {"id": lzma.FILTER_LZMA2, "preset": 0}]
    stream = lzma.compress(data, format=lzma.FORMAT_RAW, filters=both)
    return lzma.decompress(stream, format=lzma.FORMAT_RAW, filters=both[1:])


def build_packed(image, entries, identifier=None, dict_size=1 << 20, x86=lambda e: False,
                 trailer=b""):
    """Bytes of a compressed SFX file: the identifier, the header and one raw LZMA2 stream over
    the index (header, name, checksum and filter of every entry) and the entries' data, each
    x86-converted where `x86(entry)` says so."""
    import lzma
    import zlib
    ident = random_identifier() if identifier is None else identifier
    if isinstance(ident, str):
        ident = ident.encode("ascii")
    index, data = bytearray(), bytearray()
    for e in entries:
        flag = FILTER_X86 if x86(e) else 0
        checksum = byte_sum(e.name, e.data) if e.checksum is None else e.checksum
        index += e.header() + e.name + struct.pack("<IB", checksum, flag)
        data += x86_converted(e.data) if flag else e.data
    filters = [{"id": lzma.FILTER_LZMA2, "preset": 6, "dict_size": dict_size}]
    stream = lzma.compress(bytes(index + data), format=lzma.FORMAT_RAW, filters=filters)
    header = PACKED_HEADER.pack(b"PRZ1", dict_size, len(entries), len(index), len(data),
                                len(stream), zlib.crc32(stream))
    header += struct.pack("<I", zlib.crc32(header))
    return bytes(image) + bytes([10]) + ident.ljust(10, b"0")[:10] + header + stream + trailer

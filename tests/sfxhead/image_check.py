#!/usr/bin/env python3
"""The runtime module images, plain and decoding: each must end exactly at its last section's
raw data, since the payload follows it, must stay small, and must load on the oldest systems its
header admits (subsystem 4.0), so it imports only what every Win32 system has. The shipped
builder beside them must be free to use the 4 GiB a 32-bit process can have."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools"))
import sfxfile  # noqa: E402

MAX_SIZE = {"sfxhead.exe": 28672, "sfxheadz.exe": 57856}
SOURCES = os.path.join(os.path.dirname(__file__), "..", "..", "src", "sfxhead")

# Functions that the first Win32 systems of both families (4.0) already export. Newer ones, such
# as GetDiskFreeSpaceExA, SetFilePointerEx or GetFileSizeEx, must be looked up at run time:
# a missing import stops the loader before the module can say anything. The Unicode calls are
# exported by both families; on the 95 family they fail, and the module calls the ANSI ones.
EVERY_WIN32 = {
    "kernel32.dll": """CloseHandle CreateDirectoryA CreateFileA CreateProcessA CreateSemaphoreA
        CreateDirectoryW CreateFileW DeleteFileW FindFirstFileW FindNextFileW FormatMessageW
        GetCommandLineW GetCurrentProcess GetFileAttributesW GetFileInformationByHandle
        GetFileType GetModuleFileNameW GetTempPathW LocalFree MoveFileExW RemoveDirectoryW
        SetFileAttributesW
        CreateThread DeleteFileA
        DosDateTimeToFileTime ExitProcess FileTimeToDosDateTime FileTimeToLocalFileTime
        FindClose FindFirstFileA FindNextFileA FormatMessageA FreeLibrary GetCommandLineA
        GetCurrentDirectoryA GetDiskFreeSpaceA GetExitCodeProcess GetFileAttributesA
        GetFileSize GetFileTime GetFullPathNameA GetFullPathNameW GetLastError GetLocaleInfoA
        GetModuleFileNameA GetModuleHandleA GetPrivateProfileStringA GetProcAddress
        GetProcessHeap GetShortPathNameA GetSystemDefaultLangID GetSystemDirectoryA
        GetTempPathA GetTickCount GetVersion GetVersionExA GetWindowsDirectoryA HeapAlloc
        HeapFree HeapReAlloc LoadLibraryA LoadLibraryExA LocalFileTimeToFileTime MoveFileA MoveFileExA
        MultiByteToWideChar ReadFile ReleaseSemaphore RemoveDirectoryA SetFileAttributesA SetFilePointer
        SetFileTime SetLastError Sleep VirtualAlloc WaitForSingleObject WideCharToMultiByte
        WritePrivateProfileStringA WriteFile lstrcatA lstrcmpiA lstrcpyA lstrlenA""",
    "user32.dll": """BeginPaint CharNextA CharUpperA CreateWindowExA DefWindowProcA
        DestroyWindow DispatchMessageA DrawEdge DrawTextA EndPaint FillRect GetClientRect
        GetDC GetMessageA GetSysColor GetSysColorBrush GetSystemMetrics InvalidateRect
        LoadCursorA LoadIconA LoadStringA MessageBoxA MessageBoxW PeekMessageA PostQuitMessage
        RegisterClassA RegisterClassExA ReleaseDC SetWindowPos ShowWindow TranslateMessage
        UpdateWindow wsprintfA""",
    "gdi32.dll": """CreateFontA CreateFontIndirectA DeleteObject ExtTextOutA GetDeviceCaps
        GetStockObject GetTextExtentPoint32A SelectObject SetBkColor SetBkMode SetTextColor
        TextOutA""",
    "shell32.dll": "ShellExecuteA ShellExecuteExA",
    "advapi32.dll": """RegCloseKey RegCreateKeyExA RegDeleteValueA RegOpenKeyExA
        RegQueryValueExA RegQueryValueExW RegSetValueExA RegSetValueExW""",
}


def imports(image):
    """{dll name in lower case: [function names]} from a PE32 image's import directory; an
    import by ordinal shows as "#n"."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, = struct.unpack_from("<H", image, pe + 6)
    opt = pe + 24
    opt_size, = struct.unpack_from("<H", image, pe + 20)
    assert struct.unpack_from("<H", image, opt)[0] == 0x10B, "a PE32 image"
    directory, _ = struct.unpack_from("<II", image, opt + 96 + 8)
    table = [struct.unpack_from("<IIII", image, opt + opt_size + 40 * i + 8)
             for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw_ptr in table:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw_ptr
        raise ValueError("RVA %#x outside the sections" % rva)

    def text(rva):
        at = offset(rva)
        return image[at:image.index(b"\0", at)].decode("ascii")

    result = {}
    at = offset(directory)
    while True:
        lookup, _, _, name, thunk = struct.unpack_from("<IIIII", image, at)
        if name == 0:
            return result
        functions = result.setdefault(text(name).lower(), [])
        entry = offset(lookup or thunk)
        while True:
            value, = struct.unpack_from("<I", image, entry)
            if value == 0:
                break
            functions.append("#%d" % (value & 0xFFFF) if value & 0x80000000 else text(value + 2))
            entry += 4
        at += 20


class ImageTest(unittest.TestCase):
    MODULE = "sfxhead.exe"

    def setUp(self):
        # The shipped i686 image; the tests may run its x86_64 twin elsewhere.
        folder = os.environ.get("PACKRIG_SHIP_DIR") or os.environ["PACKRIG_WIN_DIR"]
        path = os.path.join(folder, self.MODULE)
        with open(path, "rb") as f:
            self.image = f.read()

    def test_ends_at_last_section_raw_data(self):
        self.assertEqual(sfxfile.image_end(self.image), len(self.image))

    def test_pe_header_lies_below_64_kib(self):
        self.assertLess(int.from_bytes(self.image[0x3C:0x40], "little"), 65536)

    def test_size_limit(self):
        self.assertLessEqual(len(self.image), MAX_SIZE[self.MODULE])

    def test_imports_only_what_every_win32_system_has(self):
        # kernel32 alone: every other DLL is loaded once the DLL search is restricted.
        found = imports(self.image)
        self.assertEqual(list(found), ["kernel32.dll"])
        self.assertIn("ReadFile", found.get("kernel32.dll", []))  # the reader sees the table
        unknown = sorted("%s!%s" % (dll, function) for dll, functions in found.items()
                         for function in functions
                         if function not in EVERY_WIN32.get(dll, "").split())
        self.assertEqual(unknown, [])

    def test_run_time_lookups_take_the_declared_type(self):
        # On i686 a pointer of a hand-written type may carry the wrong calling convention, which
        # the x86_64 twins cannot show; SFX_LOOKUP takes the type from the system's declaration.
        for name in sorted(os.listdir(SOURCES)):
            if name.endswith((".cpp", ".h")) and name not in ("wide_win32.h", "imports_win32.cpp"):
                with open(os.path.join(SOURCES, name)) as f:
                    self.assertNotIn("GetProcAddress", f.read(), name)

    def test_crafted_file_reads_back(self):
        entries = [sfxfile.Entry("Docs\\Readme.txt", b"read me"),
                   sfxfile.Entry("setup.exe", b"MZ" + bytes(300), is_exe=1, attr=0x21)]
        data = sfxfile.build(self.image, entries, identifier="0012AB34CD", trailer=b"xx")
        parsed = sfxfile.parse_bytes(data)
        self.assertEqual(parsed.image_end, len(self.image))
        self.assertEqual(parsed.identifier, b"0012AB34CD")
        self.assertEqual([(e.name, e.data, e.is_exe, e.attr) for e in parsed.entries],
                         [(e.name, e.data, e.is_exe, e.attr) for e in entries])
        self.assertTrue(all(e.checksum == sfxfile.byte_sum(e.name, e.data)
                            for e in parsed.entries))
        self.assertEqual(parsed.trailing, b"xx")


class DecodingImageTest(ImageTest):
    MODULE = "sfxheadz.exe"


class ShippedBuilderTest(unittest.TestCase):
    def test_large_address_aware(self):
        # Compressing a large tree takes most of the 2 GiB that a 32-bit process gets without
        # the flag, and the builder would then report a lack of memory on 64-bit Windows too.
        with open(os.path.join(os.environ["PACKRIG_SHIP_DIR"], "packrig.exe"), "rb") as f:
            image = f.read()
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        characteristics, = struct.unpack_from("<H", image, pe + 22)
        self.assertTrue(characteristics & 0x0020, "IMAGE_FILE_LARGE_ADDRESS_AWARE")


if __name__ == "__main__":
    unittest.main()

// Test helper run under wine: "transfer <exe> <target>" runs the Win32 icon and version
// transfer and prints both results; "dump <file>" prints every resource of a file through the
// Win32 resource functions. Several commands may follow one another on one command line.
#include "tool_commands.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string NameText(LPCSTR name) {
    if (!IS_INTRESOURCE(name)) {
        return name;
    }
    char text[8];
    std::snprintf(text, sizeof text, "#%u",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(name)));
    return text;
}

struct DumpState {
    HMODULE module;
    LPCSTR type;
};

BOOL CALLBACK OnLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR) {
    HRSRC resource = FindResourceExA(module, type, name, language);
    DWORD size = SizeofResource(module, resource);
    const auto* bytes =
        static_cast<const unsigned char*>(LockResource(LoadResource(module, resource)));
    std::printf("%s %s %04x %lu ", NameText(type).c_str(), NameText(name).c_str(), language,
                static_cast<unsigned long>(size));
    for (DWORD i = 0; i < size && bytes != nullptr; ++i) {
        std::printf("%02x", bytes[i]);
    }
    std::printf("\n");
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR) {
    EnumResourceLanguagesA(module, type, name, OnLanguage, 0);
    return TRUE;
}

BOOL CALLBACK OnType(HMODULE module, LPSTR type, LONG_PTR) {
    EnumResourceNamesA(module, type, OnName, 0);
    return TRUE;
}

int Dump(const char* file) {
    HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::printf("not a module\n");
        return 1;
    }
    EnumResourceTypesA(module, OnType, 0);
    FreeLibrary(module);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return prresources::testing::RunCommands(argc, argv, Dump);
}

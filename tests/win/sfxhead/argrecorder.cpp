// Test helper started by an SFX file: records its command line, its arguments as the C runtime
// splits them, the same from the wide command line in UTF-8, its working folder and every file
// below it with its attributes, one per line, into the file named by PACKRIG_RECORD (or record.txt
// in its working folder), then exits with the code in PACKRIG_EXIT_CODE, or the number in
// exitcode.txt beside it, or 0.
#include <windows.h>

#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int ChosenExitCode() {
    char value[32];
    if (GetEnvironmentVariableA("PACKRIG_EXIT_CODE", value, sizeof value) > 0)
        return atoi(value);
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    while (n > 0 && path[n - 1] != '\\')
        --n;
    strcpy(path + n, "exitcode.txt");
    FILE* f = fopen(path, "r");
    int code = 0;
    if (f != nullptr) {
        if (fscanf(f, "%d", &code) != 1)
            code = 0;
        fclose(f);
    }
    return code;
}

// Lists every file below `folder` (ending in "\\") as "file=<relative path> attr=<hex>".
void ListFiles(FILE* out, const char* folder, const char* relative) {
    char pattern[MAX_PATH * 2];
    snprintf(pattern, sizeof pattern, "%s*", folder);
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA(pattern, &found);
    if (listing == INVALID_HANDLE_VALUE)
        return;
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        char path[MAX_PATH * 2], rel[MAX_PATH * 2];
        snprintf(rel, sizeof rel, "%s%s", relative, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            snprintf(path, sizeof path, "%s%s\\", folder, found.cFileName);
            strcat(rel, "\\");
            ListFiles(out, path, rel);
        } else {
            fprintf(out, "file=%s attr=%lx\n", rel, found.dwFileAttributes);
        }
    } while (FindNextFileA(listing, &found));
    FindClose(listing);
}

// Writes the arguments of the wide command line, as CommandLineToArgvW splits it, in UTF-8 as
// "warg=<argument>", so that names outside the ANSI code page can be compared too.
void ListWideArguments(FILE* out) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr)
        return;
    for (int i = 1; i < count; ++i) {
        char utf8[4096];
        int n = WideCharToMultiByte(CP_UTF8, 0, args[i], -1, utf8, sizeof utf8, nullptr, nullptr);
        fprintf(out, "warg=%s\n", n > 0 ? utf8 : "?");
    }
    LocalFree(args);
}

} // namespace

int main(int argc, char** argv) {
    char target[MAX_PATH] = "record.txt";
    GetEnvironmentVariableA("PACKRIG_RECORD", target, sizeof target);
    FILE* out = fopen(target, "wb");
    if (out == nullptr)
        return 100;
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    fprintf(out, "cmdline=%s\n", GetCommandLineA());
    fprintf(out, "cwd=%s\n", cwd);
    fprintf(out, "argc=%d\n", argc - 1);
    for (int i = 1; i < argc; ++i)
        fprintf(out, "arg=%s\n", argv[i]);
    ListWideArguments(out);
    strcat(cwd, "\\");
    ListFiles(out, cwd, "");
    fclose(out);
    return ChosenExitCode();
}

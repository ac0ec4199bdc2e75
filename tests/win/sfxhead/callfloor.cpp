// Test and benchmark helper: the Win32 calls that unpacking and clean-up need, and nothing else,
// as the floor the runtime module is measured against. Its modes:
//   callfloor files <folder\> <count> <folders> <bytes> <stampfile> [clear-only]
//       creates <count> files of <bytes> bytes in <folders> sub-folders of <folder\> (create,
//       write, set time, close, set attributes), starts itself to write the time into
//       <stampfile> as the runtime module starts its program, and waits for it; then clears
//       each file's attributes and registers it for deletion at restart, then the sub-folders
//       and <folder\> itself; with clear-only it only clears the attributes;
//   callfloor stamp <stampfile>        writes the time into <stampfile> (a program to start);
//   callfloor register <path>          registers <path> for deletion at restart.
// A time is the system time in 100-nanosecond units since 1601, in decimal.
#include <windows.h>

#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int WriteStamp(const char* path) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    FILE* f = fopen(path, "w");
    if (f == nullptr)
        return 1;
    fprintf(f, "%llu\n", static_cast<unsigned long long>(t.QuadPart));
    return fclose(f) == 0 ? 0 : 1;
}

void FilePath(char* out, const char* root, int count, int folders, int i) {
    int perFolder = (count + folders - 1) / folders;
    snprintf(out, MAX_PATH, "%sd%02d\\f%05d.dat", root, i / perFolder, i);
}

bool CreateFiles(const char* root, int count, int folders, int bytes) {
    static char data[1 << 16];
    memset(data, 'x', sizeof data);
    CreateDirectoryA(root, nullptr);
    for (int d = 0; d < folders; ++d) {
        char folder[MAX_PATH];
        snprintf(folder, sizeof folder, "%sd%02d", root, d);
        CreateDirectoryA(folder, nullptr);
    }
    FILETIME local, utc;
    DosDateTimeToFileTime(0x5283, 0x6000, &local);
    LocalFileTimeToFileTime(&local, &utc);
    for (int i = 0; i < count; ++i) {
        char path[MAX_PATH];
        FilePath(path, root, count, folders, i);
        HANDLE h =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        WriteFile(h, data, static_cast<DWORD>(bytes), &written, nullptr);
        SetFileTime(h, nullptr, nullptr, &utc);
        CloseHandle(h);
        SetFileAttributesA(path, FILE_ATTRIBUTE_ARCHIVE);
    }
    return true;
}

void RegisterDeletions(const char* root, int count, int folders, bool clearOnly) {
    for (int i = 0; i < count; ++i) {
        char path[MAX_PATH];
        FilePath(path, root, count, folders, i);
        SetFileAttributesA(path, 0);
        if (!clearOnly)
            MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    if (clearOnly)
        return;
    for (int d = 0; d < folders; ++d) {
        char folder[MAX_PATH];
        snprintf(folder, sizeof folder, "%sd%02d", root, d);
        MoveFileExA(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    char self[MAX_PATH];
    snprintf(self, sizeof self, "%s", root);
    self[strlen(self) - 1] = 0;
    MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Starts this program with "stamp <stampfile>" through the shell and waits for it.
bool StartStamp(const char* stampFile) {
    char self[MAX_PATH], parameters[MAX_PATH + 16];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    snprintf(parameters, sizeof parameters, "stamp \"%s\"", stampFile);
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = self;
    info.lpParameters = parameters;
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info) || info.hProcess == nullptr)
        return false;
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(info.hProcess);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if ((argc == 7 || argc == 8) && strcmp(argv[1], "files") == 0) {
        int count = atoi(argv[3]), folders = atoi(argv[4]);
        if (!CreateFiles(argv[2], count, folders, atoi(argv[5])) || !StartStamp(argv[6]))
            return 1;
        RegisterDeletions(argv[2], count, folders, argc == 8 && strcmp(argv[7], "clear-only") == 0);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "stamp") == 0)
        return WriteStamp(argv[2]);
    if (argc == 3 && strcmp(argv[1], "register") == 0)
        return MoveFileExA(argv[2], nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 0 : 1;
    fprintf(stderr, "usage: callfloor files|stamp|register ...\n");
    return 2;
}

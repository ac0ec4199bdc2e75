// Test helper: a DLL that an attacker would plant beside a program. When any process loads it,
// it appends that process's path to the file named by PACKRIG_PLANTED.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char record[MAX_PATH], process[MAX_PATH];
    if (GetEnvironmentVariableA("PACKRIG_PLANTED", record, MAX_PATH) == 0)
        return TRUE;
    DWORD n = GetModuleFileNameA(nullptr, process, MAX_PATH);
    HANDLE file = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, process, n, &written, nullptr);
        WriteFile(file, "\r\n", 2, &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}

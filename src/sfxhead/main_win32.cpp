// Entry of the runtime module (no C runtime: the linker's default GUI entry is defined here):
// the run from start to end, and FinishRun, its single way out. Built twice: the plain module
// reads plain payloads only; with PACKRIG_PACKED, the decoding module reads compressed ones only.
#include <windows.h>

#include "archive.h"
#if PACKRIG_PACKED
#include "decode_ahead_win32.h"
#include "packed.h"
#endif
#include "cleanup_win32.h"
#include "files_win32.h"
#include "progress.h"
#include "text.h"
#include "window_win32.h"

namespace sfx {

namespace {

// Every data chunk passes through this one buffer; it lives in uninitialised data, so it costs
// no file size and no stack.
alignas(16) uint8_t g_copyBuffer[payload::kChunkSize];

RunState g_run;
FilesHost g_files;
#if PACKRIG_PACKED
lz::Decoder g_decoder;
PackedRun<FilesHost> g_packed;
#endif
char g_ownPath[MAX_PATH + 1];
char g_scratch[kPathCap];
int32_t g_exitCode;

void ScheduleCleanup() {
    TextBuffer& unpacked = g_files.Unpacked();
    RegisterCleanup(unpacked.Data(), unpacked.Length(), g_run.workDir, g_scratch, sizeof g_scratch);
}

void ShowReport(const char* subject, uint32_t code) {
    char systemText[257];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, systemText, 256, nullptr);
    systemText[n <= 256 ? n : 0] = 0;
    static char report[kPathCap + 512];
    ComposeReport(systemText, subject, report, sizeof report);
    MessageBoxA(nullptr, report, nullptr, MB_OK | MB_ICONERROR);
}

[[noreturn]] void FinishRun(const char* subject, uint32_t code) {
    if (code != 0) {
        ShowReport(subject, code);
        DestroyProgressWindow();
        g_exitCode = -1;
    }
    ScheduleCleanup();
    ExitProcess(static_cast<UINT>(g_exitCode));
}

void FinishOnFailure(const Outcome& r) {
    if (r.code == 0)
        return;
    switch (r.subject) {
    case Subject::EntryPath:
        FinishRun(g_run.fileName, r.code);
    case Subject::LaunchPath:
        FinishRun(g_run.launchPath, r.code);
    case Subject::OwnPath:
        break;
    }
    FinishRun(g_ownPath, r.code);
}

uint32_t LastErrorOr(uint32_t fallback) {
    uint32_t code = GetLastError();
    return code != 0 ? code : fallback;
}

char DecimalSeparator() {
    char text[4];
    return GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, text, sizeof text) > 1 ? text[0]
                                                                                       : '.';
}

// Bytes free for the current user on the drive of `root`, or -1. GetDiskFreeSpaceExA is looked
// up at run time, since the first systems of the family lack it; there the cluster counts give
// the free space.
int64_t FreeBytes(const char* root) {
    using FreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    FARPROC found = GetProcAddress(GetModuleHandleA("kernel32"), "GetDiskFreeSpaceExA");
    if (found != nullptr) {
        auto query = reinterpret_cast<FreeSpaceEx>(reinterpret_cast<void (*)()>(found));
        ULARGE_INTEGER available;
        return query(root, &available, nullptr, nullptr) ? static_cast<int64_t>(available.QuadPart)
                                                         : -1;
    }
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return -1;
    return static_cast<int64_t>(uint64_t{freeClusters} * sectorsPerCluster * bytesPerSector);
}

// Stops the run with the disk-full report when the data will not fit on WorkDir's drive.
void TestFreeSpace() {
    char drive = g_run.workDir[0];
    if (drive >= 'a' && drive <= 'z')
        drive = static_cast<char>(drive - 'a' + 'A');
    uint8_t number = static_cast<uint8_t>(drive - 0x41 + 1);
    char root[] = {static_cast<char>(0x40 + number), ':', '\\', 0};
    int64_t freeBytes = FreeBytes(root);
    if (g_run.totalSize > freeBytes) {
        char detail[80];
        FormatSpaceDetail(root[0], freeBytes, g_run.totalSize, DecimalSeparator(), detail);
        FinishRun(detail, kDiskFull);
    }
}

void SetWorkDirFromTemp() {
    char temp[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof temp, temp);
    if (n == 0)
        FinishRun(g_ownPath, LastErrorOr(ERROR_PATH_NOT_FOUND));
    if (n >= sizeof temp)
        FinishRun(g_ownPath, ERROR_FILENAME_EXCED_RANGE);
    SetWorkDir(g_run, temp);
}

// Starts the unpacked program with the module's own arguments in WorkDir, waits for it and
// takes over its exit code.
void LaunchAndWait() {
    const char* commandLine = GetCommandLineA();
    size_t cap = ParametersCapacity(commandLine);
    char* parameters = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, cap));
    if (parameters == nullptr)
        FinishRun(g_run.launchPath, ERROR_NOT_ENOUGH_MEMORY);
    BuildParameters(commandLine, parameters, cap);

    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = g_run.launchPath;
    info.lpParameters = parameters;
    info.lpDirectory = g_run.workDir;
    info.nShow = SW_SHOWNORMAL;
    g_exitCode = 0;
    if (!ShellExecuteExA(&info))
        FinishRun(g_run.launchPath, LastErrorOr(ERROR_ACCESS_DENIED));
    if (info.hProcess != nullptr) {
        WaitForSingleObject(info.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(info.hProcess, &code))
            g_exitCode = static_cast<int32_t>(code);
        CloseHandle(info.hProcess);
    }
}

[[noreturn]] void Run() {
    CreateProgressWindow(&g_run, ChooseLanguage(GetSystemDefaultLangID()));
    PumpMessages();

    DWORD n = GetModuleFileNameA(nullptr, g_ownPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        FinishRun(g_ownPath, LastErrorOr(ERROR_FILENAME_EXCED_RANGE));
    if (!g_files.Open(g_ownPath))
        FinishRun(g_ownPath, LastErrorOr(ERROR_OPEN_FAILED));
    FinishOnFailure(LocatePayload(g_files, g_run.imageEnd));
    if (g_run.imageEnd == 0 || g_files.Size() <= g_run.imageEnd + 11)
        FinishRun(g_ownPath, kBadFormat);
    FinishOnFailure(ReadArchiveId(g_files, g_run));
#if PACKRIG_PACKED
    g_packed.decoder = &g_decoder;
    FinishOnFailure(CheckPackedPayload(g_files, g_run, g_packed, g_copyBuffer));
    FinishOnFailure(ReadPackedIndex(g_files, g_packed));
    StartDecodingAhead(g_decoder, g_packed.readData, g_packed.readContext);
#else
    FinishOnFailure(CheckPayload(g_files, g_run));
#endif
    SetWorkDirFromTemp();
    TestFreeSpace();
    CopyText(g_scratch, sizeof g_scratch, g_run.workDir);
    MakeFolders(g_files, g_scratch);
#if PACKRIG_PACKED
    FinishOnFailure(UnpackPackedEntries(g_files, g_run, g_packed, g_copyBuffer));
#else
    FinishOnFailure(SeekTo(g_files, g_run.imageEnd + int64_t{sizeof(payload::ArchiveId)}));
    FinishOnFailure(UnpackEntries(g_files, g_run, g_copyBuffer));
#endif
    g_files.Close();
    if (g_run.launchPath[0] == 0)
        FinishRun(g_ownPath, kBadFormat);
    DestroyProgressWindow();
    LaunchAndWait();
    FinishRun("", 0);
}

} // namespace

} // namespace sfx

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
    sfx::Run();
}

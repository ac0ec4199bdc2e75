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
#include "imports_win32.h"
#include "progress.h"
#include "text.h"
#include "wide_win32.h"
#include "window_win32.h"
#include "workdir.h"
#include "workdir_win32.h"

namespace sfx {

namespace {

// Every data chunk passes through this one buffer; it lives in uninitialised data, so it costs
// no file size and no stack.
alignas(16) uint8_t g_copyBuffer[payload::kChunkSize];

RunState g_run; // its WorkDir stays empty: stored names reach the host as they are
FilesHost g_files;
#if PACKRIG_PACKED
lz::Decoder g_decoder;
PackedRun<FilesHost> g_packed;
#endif
wchar_t g_ownPath[kWidePathCap];
wchar_t g_temp[kWideWorkDirCap];
wchar_t g_workDir[kWideWorkDirCap];
wchar_t g_scratch[kWidePathCap];
int32_t g_exitCode;

void ScheduleCleanup() {
    PathList& unpacked = g_files.Unpacked();
    RegisterCleanup(unpacked.Data(), unpacked.Length(), g_files.WorkDir(), g_run.archiveId.Text,
                    g_run.archiveId.Length, g_scratch, kWidePathCap);
}

// The system's text for `code` into `out` (257 units).
void SystemText(uint32_t code, wchar_t* out) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (sys::HasWideCalls()) {
        DWORD n = FormatMessageW(flags, nullptr, code, 0, out, 256, nullptr);
        out[n <= 256 ? n : 0] = 0;
        return;
    }
    char text[257];
    DWORD n = FormatMessageA(flags, nullptr, code, 0, text, 256, nullptr);
    sys::Widen(CP_ACP, text, n <= 256 ? n : 0, out, 257);
}

void ShowReport(const wchar_t* subject, uint32_t code) {
    wchar_t systemText[257];
    SystemText(code, systemText);
    static wchar_t report[kWidePathCap + 512];
    ComposeReport(systemText, subject, report, sizeof report / sizeof report[0]);
    if (sys::HasWideCalls()) {
        MessageBoxW(nullptr, report, nullptr, MB_OK | MB_ICONERROR);
        return;
    }
    static char text[2 * (kWidePathCap + 512)];
    WideCharToMultiByte(CP_ACP, 0, report, -1, text, sizeof text, nullptr, nullptr);
    MessageBoxA(nullptr, text, nullptr, MB_OK | MB_ICONERROR);
}

[[noreturn]] void FinishRun(const wchar_t* subject, uint32_t code) {
    if (code != 0) {
        ShowReport(subject, code);
        DestroyProgressWindow();
        g_exitCode = -1;
    }
    ScheduleCleanup();
    ExitProcess(static_cast<UINT>(g_exitCode));
}

// The full path of a stored name inside WorkDir, for a report.
const wchar_t* EntryPath(const char* name) {
    if (!g_files.FullPath(name, g_scratch))
        CopyText(g_scratch, kWidePathCap, g_files.WorkDir());
    return g_scratch;
}

void FinishOnFailure(const Outcome& r) {
    if (r.code == 0)
        return;
    switch (r.subject) {
    case Subject::EntryPath:
        FinishRun(EntryPath(g_run.fileName), r.code);
    case Subject::LaunchPath:
        FinishRun(EntryPath(g_run.launchPath), r.code);
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

// Stops the run with the disk-full report when the data will not fit where the temporary
// folder is. The folder itself is asked, so a folder without a drive letter works too.
void TestFreeSpace() {
    wchar_t root[kWideWorkDirCap];
    SpaceRoot(g_temp, root, kWideWorkDirCap);
    int64_t freeBytes = sys::FreeBytes(g_temp, root);
    if (g_run.totalSize > freeBytes) {
        wchar_t detail[kWideWorkDirCap + 80];
        FormatSpaceDetail(root, freeBytes, g_run.totalSize, DecimalSeparator(), detail,
                          sizeof detail / sizeof detail[0]);
        FinishRun(detail, kDiskFull);
    }
}

// The temporary folder, with a "\" at its end, and any of its folders that are missing.
void FindTempFolder() {
    DWORD n = sys::TempFolder(g_temp, kWideWorkDirCap - 32);
    if (n == 0)
        FinishRun(g_ownPath, LastErrorOr(ERROR_PATH_NOT_FOUND));
    if (n >= kWideWorkDirCap - 32)
        FinishRun(g_ownPath, ERROR_FILENAME_EXCED_RANGE);
    if (g_temp[n - 1] != '\\')
        AppendAscii(g_temp, kWideWorkDirCap, "\\");
    for (size_t i = 1; g_temp[i] != 0; ++i) {
        if (g_temp[i] != '\\' || g_temp[i - 1] == '\\' || g_temp[i - 1] == ':')
            continue;
        g_temp[i] = 0;
        sys::CreateFolder(g_temp, nullptr);
        g_temp[i] = '\\';
    }
}

// A folder of the run's own, after what earlier runs left behind has gone.
void MakeWorkDir() {
    const char* id = g_run.archiveId.Text;
    SweepEarlierRuns(g_temp, id, g_run.archiveId.Length);
    uint32_t code = CreateRunFolder(g_temp, id, g_run.archiveId.Length, g_workDir, kWideWorkDirCap);
    if (code != 0)
        FinishRun(g_workDir, code);
    g_files.SetWorkDir(g_workDir, payload::NamesAreUtf8(g_run.archiveId) ? CP_UTF8 : CP_ACP);
}

// The module's arguments as the started program's parameters, in process heap memory; null when
// there is no memory for them. The NT family gives the command line as the caller wrote it in
// UTF-16; the 95 family only in the ANSI code page.
wchar_t* Parameters() {
    HANDLE heap = GetProcessHeap();
    if (sys::HasWideCalls()) {
        const wchar_t* commandLine = GetCommandLineW();
        size_t cap = ParametersCapacity(commandLine);
        auto* wide = static_cast<wchar_t*>(HeapAlloc(heap, 0, cap * sizeof(wchar_t)));
        if (wide != nullptr)
            BuildParameters(commandLine, wide, cap);
        return wide;
    }
    const char* commandLine = GetCommandLineA();
    size_t cap = ParametersCapacity(commandLine);
    auto* ansi = static_cast<char*>(HeapAlloc(heap, 0, cap));
    auto* wide = static_cast<wchar_t*>(HeapAlloc(heap, 0, cap * sizeof(wchar_t)));
    if (ansi == nullptr || wide == nullptr)
        return nullptr;
    BuildParameters(commandLine, ansi, cap);
    sys::Widen(CP_ACP, ansi, TextLength(ansi), wide, cap);
    return wide;
}

// Starts the unpacked program with the module's own arguments in WorkDir, waits for it and
// takes over its exit code. The program stays held until it has started.
void LaunchAndWait() {
    wchar_t* parameters = Parameters();
    const wchar_t* launch = EntryPath(g_run.launchPath);
    if (parameters == nullptr)
        FinishRun(launch, ERROR_NOT_ENOUGH_MEMORY);
    g_exitCode = 0;
    HANDLE process = nullptr;
    if (!sys::Execute(launch, parameters, g_files.WorkDir(), &process))
        FinishRun(launch, LastErrorOr(ERROR_ACCESS_DENIED));
    g_files.ReleaseHeld();
    if (process != nullptr) {
        WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(process, &code))
            g_exitCode = static_cast<int32_t>(code);
        CloseHandle(process);
    }
}

[[noreturn]] void Run() {
    RestrictDllSearch();
    if (!BindSystemImports())
        ExitProcess(static_cast<UINT>(-1)); // no window and no message box without them
    CreateProgressWindow(&g_run, ChooseLanguage(GetSystemDefaultLangID()));
    PumpMessages();

    DWORD n = sys::OwnPath(g_ownPath, kWidePathCap);
    if (n == 0 || n >= kWidePathCap)
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
    FindTempFolder();
    TestFreeSpace();
    MakeWorkDir();
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
    FinishRun(L"", 0);
}

} // namespace

} // namespace sfx

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
    sfx::Run();
}

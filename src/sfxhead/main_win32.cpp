// Entry of the runtime module (no C runtime: the linker's default GUI entry is defined here).
#include <windows.h>

extern "C" void WinMainCRTStartup() {
    ExitProcess(0);
}

/* Entry of the resource fixtures: programs that only carry resources and exit at once. */
#include <windows.h>

void WinMainCRTStartup(void) {
    ExitProcess(0);
}

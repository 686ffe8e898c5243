// The process entry. The program reads no command line, environment, file or
// registry entry: everything it needs is a constant.
#include <windows.h>

#include "app/application.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    ExitProcess(static_cast<UINT>(ApplicationRun()));
}

#include <windows.h>

#include "logontask.h"

// The verb is read from the full command line here, so that the skipping rules are this program's
// own (and tested) whatever the C runtime makes of the command line it hands to WinMain.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return LogonTaskMain(SkipProgramName(GetCommandLineA(), CP_ACP));
}

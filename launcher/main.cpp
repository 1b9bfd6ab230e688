#include <windows.h>

#include "launcher.h"

// Started by the logon task; whatever arguments it is given are ignored, and it always exits with 0.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RunLauncher(RealLauncherPlatform());
    return 0;
}

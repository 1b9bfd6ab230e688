#include <windows.h>

// Loading registers nothing and unloading unregisters nothing: QuillogInit/QuillogUninit do that.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

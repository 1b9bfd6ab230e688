// A program that runs elevated and imports the version library, as the installer once did: the PE
// check must refuse it.
#include <windows.h>

int main() {
    DWORD ignored = 0;
    return GetFileVersionInfoSizeW(L"kernel32.dll", &ignored) ? 0 : 1;
}

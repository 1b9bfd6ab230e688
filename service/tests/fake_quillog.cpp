// A stand-in for Quillog.dll that records how the service calls it. Built twice: with and without
// the QuillogWriteA export. It also announces itself on the debugger output, so that a test can
// tell from outside which library a process has loaded.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fake_quillog.h"

static FakeQuillogRecords g_records;

extern "C" __declspec(dllexport) FakeQuillogRecords* __cdecl FakeQuillogRecordsOf() { return &g_records; }

extern "C" __declspec(dllexport) HRESULT __cdecl QuillogInit(void) {
    InterlockedIncrement(&g_records.inits);
    OutputDebugStringA("fake Quillog: init");
    return S_OK;
}

#ifndef FAKE_WITHOUT_WRITE
extern "C" __declspec(dllexport) void __cdecl QuillogWriteA(const char* format, ...) {
    LONG n = InterlockedIncrement(&g_records.writes);
    if (n > FAKE_QUILLOG_KEPT) return;
    FakeQuillogWrite& w = g_records.kept[n - 1];
    snprintf(w.format, sizeof w.format, "%s", format);
    va_list args;
    va_start(args, format);
    vsnprintf(w.text, sizeof w.text, format, args);
    va_end(args);
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

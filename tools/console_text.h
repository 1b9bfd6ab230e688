// Text for people on a standard handle, whatever characters it holds.
#pragma once
#include <windows.h>

#include <string>

namespace tvx {

// The calls WriteText makes; tests put their own in place to play a console.
struct ConsoleApi {
    BOOL(WINAPI* getConsoleMode)(HANDLE, LPDWORD);
    BOOL(WINAPI* writeConsoleW)(HANDLE, const VOID*, DWORD, LPDWORD, LPVOID);
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
};
extern ConsoleApi g_consoleApi;
extern const ConsoleApi DEFAULT_CONSOLE_API;

// To a console as UTF-16; to a file or pipe as UTF-8 with CR LF line ends. Through the ANSI code
// page a location such as "Ω" would print as a look-alike "O" or as "?".
void WriteText(HANDLE handle, const std::wstring& text);

}  // namespace tvx

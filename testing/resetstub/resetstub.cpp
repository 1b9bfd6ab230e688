#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "resetstub.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    FILETIME created{}, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    GetStartupInfoA(&si);
    // In UTF-16, recorded as UTF-8: the stub may lie in a folder outside the ANSI code page.
    wchar_t cwd[MAX_PATH * 2] = L"";
    GetCurrentDirectoryW(MAX_PATH * 2, cwd);

    wchar_t self[MAX_PATH * 2] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring dir = self;
    dir = dir.substr(0, dir.find_last_of(L'\\') + 1);

    char head[256];
    snprintf(head, sizeof head, "created=%llu\tentered=%llu\tpid=%lu\tshowflag=%d\tshow=%u\t",
             resetstub::Ticks(created), resetstub::Ticks(now), GetCurrentProcessId(),
             (si.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0, static_cast<unsigned>(si.wShowWindow));
    std::string line =
        std::string(head) + "cwd=" + resetstub::Utf8(cwd) + "\tcmdline=" + resetstub::Utf8(GetCommandLineW()) + "\r\n";

    // One write per record, so concurrent starts never interleave.
    std::wstring record = dir + L"starts.txt";
    for (int attempt = 0; attempt < 100; ++attempt) {
        HANDLE f = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(f);
            break;
        }
        Sleep(10);
    }

    FILE* linger = _wfopen((dir + L"linger.txt").c_str(), L"r");
    if (linger) {
        int ms = 0;
        if (fscanf(linger, "%d", &ms) != 1) ms = 0;
        fclose(linger);
        Sleep(ms);
    }
    return 0;
}

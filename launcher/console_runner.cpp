#include "console_runner.h"

#include <windows.h>

#include <cstring>

bool RunConsoleCommand(const char* commandLine, const char* workingDirectory, std::string& output) {
    output.clear();
    // Refused before anything is opened: a longer line would not fit the command buffer.
    if (commandLine == nullptr || strlen(commandLine) > MAX_CONSOLE_COMMAND) return false;

    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &security, 0)) return false;

    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    startup.hStdOutput = writeEnd;
    startup.wShowWindow = SW_HIDE;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;

    char command[MAX_CONSOLE_COMMAND + 1];
    memset(command, 0, sizeof command);
    memcpy(command, commandLine, strlen(commandLine));

    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, workingDirectory, &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Our copy of the write end must go, or the pipe would never report its end.
    CloseHandle(writeEnd);

    char buffer[4096];
    for (;;) {
        memset(buffer, 0, sizeof buffer);
        DWORD read = 0;
        if (!ReadFile(readEnd, buffer, sizeof buffer - 1, &read, nullptr)) break;
        output += buffer;
        Sleep(10);
    }
    CloseHandle(readEnd);
    return true;
}

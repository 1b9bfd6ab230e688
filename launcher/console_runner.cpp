#include "console_runner.h"

#include <cstring>
#include <vector>

#include "debuglog.h"

decltype(&::CreateProcessW) consoleRunnerCreateProcess = &::CreateProcessW;

bool RunConsoleCommand(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD timeoutMs,
                       std::string& output, const wchar_t* environment) {
    output.clear();
    // Refused before anything is opened: a longer line would not fit the command buffer.
    if (commandLine.size() > MAX_CONSOLE_COMMAND) return false;

    SECURITY_ATTRIBUTES security;
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &security, 0)) return false;

    STARTUPINFOW startup;
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    startup.hStdOutput = writeEnd;
    startup.wShowWindow = SW_HIDE;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;

    // Wide all the way: a narrow command line would turn some characters of the user's name into
    // others on the way (and PowerShell takes several of them for quotes).
    std::vector<wchar_t> command(MAX_CONSOLE_COMMAND + 1, L'\0');
    std::memcpy(command.data(), commandLine.c_str(), commandLine.size() * sizeof(wchar_t));

    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    // SW_HIDE does not reach a console window that a terminal program opens for the child; without
    // a console window there is none to show, and the redirected handles work as before.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    if (!consoleRunnerCreateProcess(nullptr, command.data(), nullptr, nullptr, TRUE, flags,
                                    const_cast<wchar_t*>(environment), workingDirectory.c_str(), &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return false;
    }
    CloseHandle(process.hThread);
    // Our copy of the write end must go, or the pipe would never report its end.
    CloseHandle(writeEnd);

    // Polled rather than read blindly, so that a command that never ends cannot hold us forever.
    const DWORD start = GetTickCount();
    bool ended = false;
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) {
            // Every writer has gone; whatever they left in the pipe is still read.
            ended = true;
            DWORD read = 0;
            memset(buffer, 0, sizeof buffer);
            while (ReadFile(readEnd, buffer, sizeof buffer - 1, &read, nullptr) && read > 0) {
                output += buffer;
                memset(buffer, 0, sizeof buffer);
            }
            break;
        }
        if (available == 0) {
            // The difference stays right across the tick count's wrap after 49 days.
            if (GetTickCount() - start >= timeoutMs) break;
            Sleep(10);
            continue;
        }
        memset(buffer, 0, sizeof buffer);
        DWORD read = 0;
        DWORD wanted = available < sizeof buffer - 1 ? available : static_cast<DWORD>(sizeof buffer - 1);
        if (!ReadFile(readEnd, buffer, wanted, &read, nullptr)) {
            ended = true;
            break;
        }
        output += buffer;
        Sleep(10);
    }
    if (!ended) {
        TerminateProcess(process.hProcess, ERROR_TIMEOUT);
        DebugLog("Command did not end within %lu ms; terminated\n", static_cast<unsigned long>(timeoutMs));
        output.clear();
    }
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return ended;
}

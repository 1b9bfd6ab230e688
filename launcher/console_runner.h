#pragma once

#include <windows.h>

#include <string>

// How RunConsoleCommand starts the child: CreateProcessW, or in a test one that records the start.
extern decltype(&::CreateProcessW) consoleRunnerCreateProcess;

// Longest command line RunConsoleCommand accepts, in UTF-16 units.
inline constexpr size_t MAX_CONSOLE_COMMAND = 255;

// Starts commandLine in workingDirectory without a console window, with its standard output sent
// into a pipe, and collects that output until every holder of the pipe's write end has gone. The
// child gets environment (a UTF-16 block), or this process's own environment when it is null.
// Returns false, with output empty, when the command line is too long, the pipe cannot be made or
// the process cannot be started, and when the output has not ended within timeoutMs: the process
// is then terminated.
bool RunConsoleCommand(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD timeoutMs,
                       std::string& output, const wchar_t* environment = nullptr);

#pragma once

#include <string>

// Longest command line RunConsoleCommand accepts; it is copied into a 256-byte buffer.
inline constexpr size_t MAX_CONSOLE_COMMAND = 255;

// Starts commandLine hidden in workingDirectory with its standard output sent into a pipe and
// collects that output until every holder of the pipe's write end has gone. Returns false, with
// output empty, when the command line is too long, the pipe cannot be made or the process cannot
// be started.
bool RunConsoleCommand(const char* commandLine, const char* workingDirectory, std::string& output);

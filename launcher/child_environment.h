#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The environment the elevated PowerShell is started with: the system's own variables, none of
// the user's, and PSModulePath naming only "<systemDirectory>\WindowsPowerShell\v1.0\Modules" and
// "%ProgramFiles%\WindowsPowerShell\Modules" (ProgramFiles as the system's block gives it).
// Fills block with a UTF-16 environment block (double-NUL-terminated) and returns 0, or returns
// the Win32 error that kept it from being built (block then empty). userenv.dll is taken from
// systemDirectory only.
DWORD BuildPowerShellEnvironment(const std::wstring& systemDirectory, std::vector<wchar_t>& block);

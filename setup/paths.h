// The forms in which Windows hands back paths and multi-strings the installer compares: one place
// decides what "the same file" and "the same list" mean.
#pragma once
#include <string>
#include <vector>

namespace tvxsetup {

// A service's binary path as one comparable form: the program's full DOS path, lower case. The
// service manager hands back a kernel driver's path as \??\C:\..., \SystemRoot\..., %SystemRoot%\...
// or System32\... (relative to the Windows folder), and a program's as a quoted command line.
std::wstring NormalImagePath(const std::wstring& stored, const std::wstring& windowsDir);
// The same full DOS path with its letters as stored, to open the file by.
std::wstring DosImagePath(const std::wstring& stored, const std::wstring& windowsDir);

// The strings of a REG_MULTI_SZ value of `units` characters, empty ones included; a value cut
// short of its terminators reads as the strings it holds.
std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t units);
std::wstring JoinMultiString(const std::vector<std::wstring>& items);

// The files PendingFileRenameOperations deletes or moves away at the next restart (the sources of
// its pairs), each in NormalImagePath's form.
std::vector<std::wstring> PendingRenameSources(const std::vector<std::wstring>& items, const std::wstring& windowsDir);

}  // namespace tvxsetup

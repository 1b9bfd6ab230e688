// The logon task tool's module: the two operations, their worker threads and the record they share.
#pragma once

#include <windows.h>

// Parameters of the running operation. The operation fills it before starting a worker, which only
// reads it; the texts belong to the operation's caller, who is blocked until the worker has ended.
struct LogonTaskRequestRecord {
    const wchar_t* taskName;
    const wchar_t* author;
    const wchar_t* description;
    const wchar_t* executablePath;
    LONG runInParallel;
};
extern LogonTaskRequestRecord LogonTaskRequest;

// Thread routines; the exit code is 0 or the failing HRESULT.
DWORD WINAPI CreateTaskWorker(LPVOID unused);
DWORD WINAPI DeleteTaskWorker(LPVOID unused);

// 0 on success, -1 when refused, else the worker's HRESULT.
LONG EnableLogonStartup(const wchar_t* taskName, const wchar_t* author, const wchar_t* description,
                        const wchar_t* executablePath, LONG runInParallel);
LONG DisableLogonStartup(const wchar_t* taskName);
bool IsSupportedOs();
// True while an operation's worker thread is stored, that is while the module refuses as busy.
bool LogonTaskBusy();

// The subsystem's diagnostic hook. It has no effect in the program.
void LogonStartLog(const wchar_t* format, ...);

// The program around the operations: the verb text of a full command line, the launcher's path
// beside the tool, and the entry's work. SkipProgramName never steps past the terminator.
const char* SkipProgramName(const char* commandLine, UINT codePage);
bool BuildLauncherPath(const wchar_t* moduleFileName, wchar_t (&path)[1024]);
int LogonTaskMain(const char* verbText);

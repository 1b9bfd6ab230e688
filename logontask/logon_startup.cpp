// The two module operations: check, run the worker on its own thread, wait, hand back its result.
#include <windows.h>

#include "logontask.h"
#include "platform.h"

namespace {

// Non-null while an operation runs; it is the busy flag. The operations are made for one calling
// thread at a time, so a plain variable suffices.
HANDLE workerThread = nullptr;

LONG RunWorker(LPTHREAD_START_ROUTINE worker) {
    DWORD threadId = 0;
    HANDLE thread = logonTaskPlatform.createThread(nullptr, 0, worker, nullptr, 0, &threadId);
    if (!thread) {
        // Without a worker there is nothing to wait for, and nothing was done.
        DWORD error = GetLastError();
        return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    workerThread = thread;
    WaitForSingleObject(thread, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    workerThread = nullptr;
    return static_cast<LONG>(exitCode);
}

}  // namespace

bool LogonTaskBusy() { return workerThread != nullptr; }

bool IsSupportedOs() { return LOBYTE(LOWORD(logonTaskPlatform.getVersion())) >= 6; }

LONG EnableLogonStartup(const wchar_t* taskName, const wchar_t* author, const wchar_t* description,
                        const wchar_t* executablePath, LONG runInParallel) {
    if (!taskName || !executablePath) {
        LogonStartLog(L"<LogonStart> EnableLogonStartup - Parameter is invalided");
        return -1;
    }
    if (!IsSupportedOs()) {
        LogonStartLog(L"<LogonStart> EnableLogonStartup - The function is unsupported for this OS");
        return -1;
    }
    if (workerThread) {
        LogonStartLog(L"<LogonStart> EnableLogonStartup - The module is busy in handling other request");
        return -1;
    }
    LogonTaskRequest.taskName = taskName;
    LogonTaskRequest.author = author;
    LogonTaskRequest.description = description;
    LogonTaskRequest.executablePath = executablePath;
    LogonTaskRequest.runInParallel = runInParallel;
    return RunWorker(CreateTaskWorker);
}

LONG DisableLogonStartup(const wchar_t* taskName) {
    if (!taskName) {
        LogonStartLog(L"<LogonStart> DisableLogonStartup - Parameter is invalided");
        return -1;
    }
    if (!IsSupportedOs()) {
        LogonStartLog(L"<LogonStart> DisableLogonStartup - The function is unsupported for this OS");
        return -1;
    }
    if (workerThread) {
        LogonStartLog(L"<LogonStart> DisableLogonStartup - The module is busy in handling other request");
        return -1;
    }
    // Only the name: the delete worker reads nothing else.
    LogonTaskRequest.taskName = taskName;
    return RunWorker(DeleteTaskWorker);
}

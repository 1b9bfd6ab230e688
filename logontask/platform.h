// The platform calls the tool makes that a test must be able to replace, because Wine (or any
// healthy system) will not produce their failures on demand. The program uses the real ones.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdarg>

struct LogonTaskPlatform {
    decltype(&::CoInitializeEx) coInitializeEx;
    decltype(&::CoInitializeSecurity) coInitializeSecurity;
    decltype(&::CoCreateInstance) coCreateInstance;
    decltype(&::CoUninitialize) coUninitialize;
    decltype(&::SysAllocString) sysAllocString;
    decltype(&::AllocateAndInitializeSid) allocateAndInitializeSid;
    decltype(&::LookupAccountSidW) lookupAccountSidW;
    decltype(&::GetVersion) getVersion;
    decltype(&::CreateThread) createThread;
    // Null in the program, where LogonStartLog has no effect; a test sets it to read the messages.
    void (*logSink)(const wchar_t* format, va_list values);
};

extern LogonTaskPlatform logonTaskPlatform;
extern const LogonTaskPlatform realLogonTaskPlatform;

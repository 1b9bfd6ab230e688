#include "platform.h"

#include "logontask.h"

const LogonTaskPlatform realLogonTaskPlatform = {
    &::CoInitializeEx,           &::CoInitializeSecurity, &::CoCreateInstance, &::CoUninitialize, &::SysAllocString,
    &::AllocateAndInitializeSid, &::LookupAccountSidW,    &::GetVersion,       &::CreateThread,   nullptr,
};

LogonTaskPlatform logonTaskPlatform = realLogonTaskPlatform;

void LogonStartLog(const wchar_t* format, ...) {
    if (!logonTaskPlatform.logSink) return;
    va_list values;
    va_start(values, format);
    logonTaskPlatform.logSink(format, values);
    va_end(values);
}

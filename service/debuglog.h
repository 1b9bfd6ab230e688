// The service's one diagnostic channel: tagged lines to the debugger output and to Quillog.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#define ORVANTA_TAG "<OrvantaService> "

// printf-style; the formatted text is cut at 1023 characters. No line feed is added.
void DebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace debuglog {

typedef HRESULT(__cdecl* QuillogInitFn)(void);
typedef void(__cdecl* QuillogWriteAFn)(const char* format, ...);

// Platform calls of the log. Production code uses the defaults; tests replace entries to see the
// debugger output and count loads.
struct LogApi {
    void(WINAPI* outputDebugStringA)(LPCSTR);
    HMODULE(WINAPI* loadLibraryW)(LPCWSTR);
    FARPROC(WINAPI* getProcAddress)(HMODULE, LPCSTR);
};
extern LogApi g_api;
extern const LogApi DEFAULT_API;

// Where the trace library is loaded from and what came of it. Never reset once bound.
struct Binding {
    std::wstring libraryPath;  // empty: Quillog.dll in the folder of the program
    std::mutex lock;           // makes the load and QuillogInit happen once across threads
    std::atomic<bool> bound{false};
    HMODULE module = nullptr;
    QuillogInitFn init = nullptr;
    QuillogWriteAFn write = nullptr;
};

// The process's binding, used by DebugLog.
Binding& ProcessBinding();

// DebugLog against a given binding.
void LogTo(Binding& binding, const char* format, va_list args);

// The full line DebugLog writes for a format and its values: tag plus text cut at 1023 characters.
std::string FormatLine(const char* format, va_list args);

}  // namespace debuglog

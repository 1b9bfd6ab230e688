#include "debuglog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace debuglog {

const LogApi DEFAULT_API = {OutputDebugStringA, LoadLibraryW, GetProcAddress};
LogApi g_api = DEFAULT_API;

namespace {

const size_t FORMAT_BUFFER = 1024;

// By full path from the program's own folder: a service runs in the system folder, and a relative
// name would let an elevated install load whatever Quillog.dll lies in the caller's folder.
std::wstring LibraryBesideProgram() {
    wchar_t path[MAX_PATH * 4] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4) return std::wstring();
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    return dir.substr(0, slash + 1) + L"Quillog.dll";
}

void Bind(Binding& b) {
    if (b.bound.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.bound.load(std::memory_order_relaxed)) return;
    if (b.libraryPath.empty()) b.libraryPath = LibraryBesideProgram();
    if (b.libraryPath.empty()) return;
    HMODULE module = g_api.loadLibraryW(b.libraryPath.c_str());
    if (!module) return;  // tried again with the next message
    b.module = module;
    b.init = reinterpret_cast<QuillogInitFn>(reinterpret_cast<void*>(g_api.getProcAddress(module, "QuillogInit")));
    b.write = reinterpret_cast<QuillogWriteAFn>(reinterpret_cast<void*>(g_api.getProcAddress(module, "QuillogWriteA")));
    if (b.init) b.init();
    b.bound.store(true, std::memory_order_release);
}

}  // namespace

Binding& ProcessBinding() {
    // Never destroyed: the service thread may still log while the main thread runs the exit code.
    static Binding* binding = new Binding;
    return *binding;
}

std::string FormatLine(const char* format, va_list args) {
    char text[FORMAT_BUFFER];
    std::memset(text, 0, sizeof text);
    // A result that does not fit is cut; the buffer stays terminated.
    vsnprintf(text, sizeof text, format, args);
    text[FORMAT_BUFFER - 1] = '\0';
    std::string line = ORVANTA_TAG;
    line += text;
    return line;
}

void LogTo(Binding& binding, const char* format, va_list args) {
    std::string line = FormatLine(format, args);
    g_api.outputDebugStringA(line.c_str());
    Bind(binding);
    if (binding.bound.load(std::memory_order_acquire) && binding.write) binding.write("%s", line.c_str());
}

}  // namespace debuglog

void DebugLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    debuglog::LogTo(debuglog::ProcessBinding(), format, args);
    va_end(args);
}

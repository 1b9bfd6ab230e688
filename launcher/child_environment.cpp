#include "child_environment.h"

#include <algorithm>

namespace {

using CreateEnvironmentBlockFn = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
using DestroyEnvironmentBlockFn = BOOL(WINAPI*)(LPVOID);

const wchar_t MODULE_PATH_NAME[] = L"PSModulePath";

// The name of one "NAME=value" entry; a leading '=' belongs to the name (drive entries).
std::wstring NameOf(const std::wstring& entry) {
    const size_t equals = entry.find(L'=', 1);
    return entry.substr(0, equals == std::wstring::npos ? entry.size() : equals);
}

bool SameName(const std::wstring& a, const wchar_t* b) {
    return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

std::vector<std::wstring> EntriesOf(const wchar_t* block) {
    std::vector<std::wstring> entries;
    for (const wchar_t* at = block; *at; at += wcslen(at) + 1) entries.emplace_back(at);
    return entries;
}

}  // namespace

DWORD BuildPowerShellEnvironment(const std::wstring& systemDirectory, std::vector<wchar_t>& block) {
    block.clear();
    if (systemDirectory.empty()) return ERROR_PATH_NOT_FOUND;
    // By full path, with its own imports resolved from the system folder, never from ours.
    const std::wstring userenvPath = systemDirectory + L"\\userenv.dll";
    HMODULE userenv = LoadLibraryExW(userenvPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!userenv) return GetLastError();
    auto create = reinterpret_cast<CreateEnvironmentBlockFn>(
        reinterpret_cast<void*>(GetProcAddress(userenv, "CreateEnvironmentBlock")));
    auto destroy = reinterpret_cast<DestroyEnvironmentBlockFn>(
        reinterpret_cast<void*>(GetProcAddress(userenv, "DestroyEnvironmentBlock")));
    if (!create || !destroy) {
        FreeLibrary(userenv);
        return ERROR_PROC_NOT_FOUND;
    }

    // Without a token the block holds the system's variables only. The user's own (HKCU\Environment)
    // may name any variable, and the elevated PowerShell would load code from several of them: a
    // module path, a runtime profiler DLL, a Windows folder.
    void* system = nullptr;
    if (!create(&system, nullptr, FALSE)) {
        const DWORD error = GetLastError();
        FreeLibrary(userenv);
        return error ? error : ERROR_GEN_FAILURE;
    }
    std::vector<std::wstring> entries = EntriesOf(static_cast<const wchar_t*>(system));
    destroy(system);
    FreeLibrary(userenv);

    std::wstring programFiles;
    for (const std::wstring& entry : entries)
        if (SameName(NameOf(entry), L"ProgramFiles")) programFiles = entry.substr(NameOf(entry).size() + 1);
    std::wstring modulePath =
        std::wstring(MODULE_PATH_NAME) + L"=" + systemDirectory + L"\\WindowsPowerShell\\v1.0\\Modules";
    if (!programFiles.empty()) modulePath += L";" + programFiles + L"\\WindowsPowerShell\\Modules";

    std::vector<std::wstring> kept;
    for (const std::wstring& entry : entries)
        if (!SameName(NameOf(entry), MODULE_PATH_NAME)) kept.push_back(entry);
    kept.push_back(modulePath);
    // Sorted by name, without regard to case, as Windows keeps an environment block.
    std::stable_sort(kept.begin(), kept.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(NameOf(a).c_str(), -1, NameOf(b).c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    for (const std::wstring& entry : kept) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return 0;
}

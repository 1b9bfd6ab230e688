#include "fake_state.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace fake_taskschd {
namespace {

std::mutex stateLock;
std::wstring stateDir;
std::map<std::string, HRESULT> failures;
std::map<std::wstring, std::wstring> namedGroups;  // name -> SID text
LONG objectCounter = 0;
LONG objectsHeld = 0;

std::wstring DefaultStateDir() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"tvx-fake-taskschd";
}

std::string ReadWholeFile(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

}  // namespace

void Configure() {
    std::wstring dir;
    wchar_t value[1024] = {};
    DWORD n = GetEnvironmentVariableW(L"TVX_FAKE_TASKSCHD_DIR", value, 1024);
    dir = (n > 0 && n < 1024) ? std::wstring(value) : DefaultStateDir();
    CreateDirectoryW(dir.c_str(), nullptr);
    CreateDirectoryW((dir + L"\\tasks").c_str(), nullptr);

    std::map<std::string, HRESULT> chosen;
    std::map<std::wstring, std::wstring> groups;
    std::string control = ReadWholeFile(dir + L"\\control.txt");
    size_t start = 0;
    while (start < control.size()) {
        size_t end = control.find('\n', start);
        if (end == std::string::npos) end = control.size();
        const std::string line = control.substr(start, end - start);
        char call[256] = {};
        unsigned long hr = 0;
        if (sscanf(line.c_str(), "fail %255s %lx", call, &hr) == 2) chosen[call] = static_cast<HRESULT>(hr);
        // "group <SID> <name>": the name runs to the end of the line, in UTF-8.
        const size_t nameAt = line.find(' ', 6);
        if (line.compare(0, 6, "group ") == 0 && nameAt != std::string::npos)
            groups[Wide(line.substr(nameAt + 1))] = Wide(line.substr(6, nameAt - 6));
        start = end + 1;
    }

    std::lock_guard<std::mutex> hold(stateLock);
    stateDir = dir;
    failures = chosen;
    namedGroups = groups;
}

bool Injected(const std::string& call, HRESULT* hr) {
    std::lock_guard<std::mutex> hold(stateLock);
    auto it = failures.find(call);
    if (it == failures.end()) return false;
    *hr = it->second;
    return true;
}

std::wstring NamedGroup(const std::wstring& name) {
    std::lock_guard<std::mutex> hold(stateLock);
    for (const auto& group : namedGroups)
        if (CompareStringOrdinal(group.first.c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL) return group.second;
    return {};
}

void Journal(const std::string& line) {
    std::lock_guard<std::mutex> hold(stateLock);
    std::wstring dir = stateDir.empty() ? DefaultStateDir() : stateDir;
    HANDLE file = CreateFileW((dir + L"\\journal.txt").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string NewObjectName(const char* kind) {
    return std::string(kind) + "#" + std::to_string(InterlockedIncrement(&objectCounter));
}

void ObjectHeld(bool held) {
    if (held)
        InterlockedIncrement(&objectsHeld);
    else
        InterlockedDecrement(&objectsHeld);
}

LONG ObjectsHeld() { return InterlockedCompareExchange(&objectsHeld, 0, 0); }

bool ValidTaskName(const std::wstring& name) {
    return !name.empty() && name.find_first_of(L"\\/:*?\"<>|") == std::wstring::npos;
}

namespace {

std::wstring TaskFile(const std::wstring& name) {
    std::lock_guard<std::mutex> hold(stateLock);
    return (stateDir.empty() ? DefaultStateDir() : stateDir) + L"\\tasks\\" + name + L".task";
}

}  // namespace

bool TaskExists(const std::wstring& name) {
    return GetFileAttributesW(TaskFile(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

HRESULT SaveTask(const std::wstring& name, const Properties& properties) {
    std::string text;
    for (const auto& property : properties) text += property.first + "=" + property.second + "\n";
    HANDLE file = CreateFileW(TaskFile(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    DWORD error = GetLastError();
    CloseHandle(file);
    return ok ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT RemoveTask(const std::wstring& name) {
    if (DeleteFileW(TaskFile(name).c_str())) return S_OK;
    DWORD error = GetLastError();
    // A task that is not there is reported as the file it would be.
    if (error == ERROR_PATH_NOT_FOUND) error = ERROR_FILE_NOT_FOUND;
    return HRESULT_FROM_WIN32(error);
}

std::string Utf8(const wchar_t* text, int length) {
    if (!text) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
    if (length < 0 && !out.empty()) out.pop_back();
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace fake_taskschd

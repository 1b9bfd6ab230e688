#include "fake_client.h"

#include <cstdio>
#include <cstdlib>

namespace fake_taskschd {
namespace {

std::string ReadFileText(const std::wstring& path) {
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

void WriteFileText(const std::wstring& path, const std::string& text, bool append) {
    HANDLE file = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string Utf8Of(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

std::string KindOf(const std::string& object) { return object.substr(0, object.find('#')); }

FakeScheduler::FakeScheduler() {
    static LONG counter = 0;
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"tvx-fake-taskschd-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
    RemoveTree(dir_);
    CreateDirectoryW(dir_.c_str(), nullptr);
    CreateDirectoryW((dir_ + L"\\tasks").c_str(), nullptr);
    SetEnvironmentVariableW(L"TVX_FAKE_TASKSCHD_DIR", dir_.c_str());
}

FakeScheduler::~FakeScheduler() {
    SetEnvironmentVariableW(L"TVX_FAKE_TASKSCHD_DIR", nullptr);
    RemoveTree(dir_);
}

void FakeScheduler::Fail(const std::string& call, HRESULT hr) {
    char line[320];
    snprintf(line, sizeof line, "fail %s 0x%08lx\n", call.c_str(), static_cast<unsigned long>(hr));
    WriteFileText(dir_ + L"\\control.txt", line, true);
}

void FakeScheduler::NameGroup(const std::wstring& sid, const std::wstring& name) {
    WriteFileText(dir_ + L"\\control.txt", "group " + Utf8Of(sid) + " " + Utf8Of(name) + "\n", true);
}

void FakeScheduler::ClearFailures() { DeleteFileW((dir_ + L"\\control.txt").c_str()); }

void FakeScheduler::ClearJournal() { DeleteFileW((dir_ + L"\\journal.txt").c_str()); }

std::vector<Event> FakeScheduler::Journal() const {
    std::vector<Event> events;
    for (const std::string& line : Lines(ReadFileText(dir_ + L"\\journal.txt"))) {
        Event event;
        size_t space = line.find(' ');
        event.object = line.substr(0, space);
        std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (rest == "created") {
            event.kind = Event::Created;
            event.count = 1;
        } else if (rest.rfind("AddRef = ", 0) == 0 || rest.rfind("Release = ", 0) == 0) {
            event.kind = rest[0] == 'A' ? Event::AddRef : Event::Release;
            event.count = strtol(rest.c_str() + rest.find('=') + 2, nullptr, 10);
        } else {
            event.kind = Event::Call;
            size_t equals = rest.rfind(" = 0x");
            event.call = rest.substr(0, equals);
            std::string outcome = equals == std::string::npos ? std::string() : rest.substr(equals + 3);
            event.result = outcome.substr(0, 10);
            size_t arrow = outcome.find(" -> ");
            if (arrow != std::string::npos)
                event.made = outcome.substr(arrow + 4, outcome.find(' ', arrow + 4) - arrow - 4);
            if (outcome.find("[released]") != std::string::npos) event.call += " [released]";
        }
        events.push_back(event);
    }
    return events;
}

std::vector<std::string> FakeScheduler::Calls() const {
    std::vector<std::string> calls;
    for (const Event& event : Journal())
        if (event.kind == Event::Call) calls.push_back(event.call + " = " + event.result);
    return calls;
}

std::vector<std::string> FakeScheduler::Unbalanced() const {
    std::map<std::string, long> counts;
    std::vector<std::string> order;
    std::vector<std::string> problems;
    for (const Event& event : Journal()) {
        switch (event.kind) {
        case Event::Created:
            counts[event.object] = 1;
            order.push_back(event.object);
            break;
        case Event::AddRef:
        case Event::Release: counts[event.object] = event.count; break;
        case Event::Call:
            if (event.call.find("[released]") != std::string::npos)
                problems.push_back(event.object + " used after its last release: " + event.call);
            break;
        }
    }
    for (const std::string& object : order)
        if (counts[object] != 0) problems.push_back(object + " ends with count " + std::to_string(counts[object]));
    return problems;
}

std::vector<std::string> FakeScheduler::ReleasedAfter(const std::string& callPrefix) const {
    std::vector<std::string> released;
    bool after = false;
    for (const Event& event : Journal()) {
        if (!after && event.kind == Event::Call && event.call.rfind(callPrefix, 0) == 0) after = true;
        if (after && event.kind == Event::Release && event.count == 0) released.push_back(KindOf(event.object));
    }
    return released;
}

bool FakeScheduler::Created(const std::string& kind) const {
    for (const Event& event : Journal())
        if (event.kind == Event::Created && KindOf(event.object) == kind) return true;
    return false;
}

std::vector<std::string> FakeScheduler::Lifetimes() const {
    std::vector<std::string> lifetimes;
    for (const Event& event : Journal()) {
        if (event.kind == Event::Created) lifetimes.push_back("+" + KindOf(event.object));
        if (event.kind == Event::Release && event.count == 0) lifetimes.push_back("-" + KindOf(event.object));
    }
    return lifetimes;
}

bool FakeScheduler::HasTask(const std::wstring& name) const {
    return GetFileAttributesW((dir_ + L"\\tasks\\" + name + L".task").c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::map<std::string, std::string> FakeScheduler::Task(const std::wstring& name) const {
    std::map<std::string, std::string> properties;
    for (const std::string& line : Lines(ReadFileText(dir_ + L"\\tasks\\" + name + L".task"))) {
        size_t equals = line.find('=');
        properties[line.substr(0, equals)] = equals == std::string::npos ? std::string() : line.substr(equals + 1);
    }
    return properties;
}

void FakeScheduler::PutTask(const std::wstring& name, const std::map<std::string, std::string>& properties) {
    std::string text;
    for (const auto& property : properties) text += property.first + "=" + property.second + "\n";
    WriteFileText(dir_ + L"\\tasks\\" + name + L".task", text, false);
}

HRESULT CallDllRegistration(const std::wstring& dll, const char* entry) {
    HMODULE module = LoadLibraryW(dll.c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    auto call = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
    HRESULT hr = call ? call() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(module);
    return hr;
}

}  // namespace fake_taskschd

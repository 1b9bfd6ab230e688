#include "paths.h"

#include <cwctype>

namespace tvxsetup {

namespace {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

bool StartsWith(const std::wstring& lower, const wchar_t* prefix) { return lower.rfind(prefix, 0) == 0; }

}  // namespace

std::wstring DosImagePath(const std::wstring& stored, const std::wstring& windowsDir) {
    std::wstring path = stored;
    size_t first = path.find_first_not_of(L" \t");
    path.erase(0, first == std::wstring::npos ? path.size() : first);
    if (!path.empty() && path[0] == L'"') {
        size_t close = path.find(L'"', 1);
        path = path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
    }
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    std::wstring windows = windowsDir;
    while (windows.size() > 3 && windows.back() == L'\\') windows.pop_back();
    std::wstring lower = Lower(path);
    if (StartsWith(lower, L"\\??\\") || StartsWith(lower, L"\\\\?\\")) {
        path.erase(0, 4);
        lower.erase(0, 4);
    }
    if (StartsWith(lower, L"\\systemroot\\")) return windows + path.substr(11);
    if (StartsWith(lower, L"%systemroot%\\")) return windows + path.substr(12);
    if (StartsWith(lower, L"%windir%\\")) return windows + path.substr(8);
    if (StartsWith(lower, L"system32\\")) return windows + L"\\" + path;
    return path;
}

std::wstring NormalImagePath(const std::wstring& stored, const std::wstring& windowsDir) {
    return Lower(DosImagePath(stored, windowsDir));
}

std::vector<std::wstring> SplitMultiString(const wchar_t* data, size_t units) {
    std::vector<std::wstring> items;
    // The list's own terminator, then each string's.
    if (units && data[units - 1] == L'\0') --units;
    for (size_t at = 0; at < units;) {
        size_t end = at;
        while (end < units && data[end]) ++end;
        items.emplace_back(data + at, end - at);
        at = end + 1;
    }
    return items;
}

std::wstring JoinMultiString(const std::vector<std::wstring>& items) {
    std::wstring value;
    for (const auto& i : items) value += i + L'\0';
    value += L'\0';
    return value;
}

std::vector<std::wstring> PendingRenameSources(const std::vector<std::wstring>& items, const std::wstring& windowsDir) {
    std::vector<std::wstring> sources;
    for (size_t i = 0; i < items.size(); i += 2) {
        if (!items[i].empty()) sources.push_back(NormalImagePath(items[i], windowsDir));
    }
    return sources;
}

}  // namespace tvxsetup

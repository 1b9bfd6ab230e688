// The USB setup class's UpperFilters, read and changed as the class installer tools do.
#include "tvxsetup.h"

#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <algorithm>

namespace tvxsetup {

HKEY OpenUsbClassKey(REGSAM access, DWORD& error) {
    HKEY key = SetupDiOpenClassRegKeyExW(&GUID_DEVCLASS_USB, access, DIOCR_INSTALLER, nullptr, nullptr);
    error = key == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (key != INVALID_HANDLE_VALUE) return key;
    // Windows always has the class key; a machine without it (a fresh Wine prefix) gets it made.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_CLASS) {
        error = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                                   L"System\\CurrentControlSet\\Control\\Class\\"
                                                   L"{36FC9E60-C465-11CF-8056-444553540000}",
                                                   0, nullptr, 0, access, nullptr, &key, nullptr));
        if (!error) return key;
    }
    return nullptr;
}

bool ReadFilterValue(FilterValue& value, DWORD& error) {
    value = FilterValue();
    HKEY key = OpenUsbClassKey(KEY_QUERY_VALUE, error);
    if (!key) return false;
    LONG status = ERROR_MORE_DATA;
    DWORD size = 0;
    std::vector<BYTE> data;
    // The value may grow between the two reads: ask again for the larger size.
    for (int tries = 0; status == ERROR_MORE_DATA && tries < 5; ++tries) {
        status = RegQueryValueExW(key, L"UpperFilters", nullptr, &value.type, nullptr, &size);
        if (status != ERROR_SUCCESS) break;
        data.assign(size + 2 * sizeof(wchar_t), 0);
        status = RegQueryValueExW(key, L"UpperFilters", nullptr, &value.type, data.data(), &size);
    }
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        error = static_cast<DWORD>(status);
        return false;
    }
    value.present = true;
    value.raw.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    if (value.type == REG_MULTI_SZ) value.items = SplitMultiString(value.raw.data(), value.raw.size());
    return true;
}

bool ReadFilters(std::vector<std::wstring>& filters, DWORD& error) {
    FilterValue value;
    bool ok = ReadFilterValue(value, error);
    filters = value.items;
    return ok;
}

bool WriteFilters(const std::vector<std::wstring>& filters, DWORD& error) {
    HKEY key = OpenUsbClassKey(KEY_SET_VALUE, error);
    if (!key) return false;
    LONG status;
    if (filters.empty()) {
        status = RegDeleteValueW(key, L"UpperFilters");
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
        std::wstring value = JoinMultiString(filters);
        status = RegSetValueExW(key, L"UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value.data()),
                                static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    error = static_cast<DWORD>(status);
    return status == ERROR_SUCCESS;
}

bool Names(const std::vector<std::wstring>& filters) {
    return std::any_of(filters.begin(), filters.end(), [](const std::wstring& f) { return SameText(f, FILTER); });
}

std::wstring Join(const std::vector<std::wstring>& items) {
    std::wstring out;
    for (const auto& i : items) out += (out.empty() ? L"" : L", ") + (i.empty() ? L"(empty)" : i);
    return out.empty() ? L"(none)" : out;
}

// Changes the UpperFilters as the class installer tools do: a value that is not a multi-string is
// left alone, every other entry is kept exactly, and the value is read again right before the
// write: when another program changed it meanwhile, the change is made over on the new value.
Edit EditFilters(const std::function<std::vector<std::wstring>(const std::vector<std::wstring>&)>& change,
                 std::vector<std::wstring>& result, std::wstring& why) {
    for (int tries = 0; tries < 5; ++tries) {
        FilterValue before, again;
        DWORD error = 0;
        if (!ReadFilterValue(before, error)) {
            why = L"cannot read the USB class's UpperFilters: " + ErrorText(error);
            return Edit::Failed;
        }
        if (before.present && before.type != REG_MULTI_SZ) {
            why = L"the USB class's UpperFilters is of type " + std::to_wstring(before.type) +
                  L", not a multi-string (REG_MULTI_SZ); it was not changed";
            return Edit::Failed;
        }
        result = change(before.items);
        if (result == before.items) return Edit::Unchanged;
        if (!ReadFilterValue(again, error)) {
            why = L"cannot read the USB class's UpperFilters: " + ErrorText(error);
            return Edit::Failed;
        }
        if (again.present != before.present || again.type != before.type || again.raw != before.raw) continue;
        if (!WriteFilters(result, error)) {
            why = L"cannot write the USB class's UpperFilters: " + ErrorText(error);
            return Edit::WriteFailed;
        }
        std::vector<std::wstring> now;
        if (!ReadFilters(now, error) || now != result) {
            why = L"the USB class's UpperFilters read back as " + Join(now) + L", expected " + Join(result);
            return Edit::WriteFailed;
        }
        return Edit::Written;
    }
    why = L"the USB class's UpperFilters kept changing while it was edited; try again";
    return Edit::Failed;
}

std::vector<std::wstring> WithoutTarvex(const std::vector<std::wstring>& filters) {
    std::vector<std::wstring> kept;
    for (const auto& f : filters)
        if (!SameText(f, FILTER)) kept.push_back(f);
    return kept;
}

// Takes every Tarvex entry out, keeps the others in their order, and reads the value back.
bool RemoveFilter(std::wstring& why) {
    std::vector<std::wstring> result;
    Edit edit = EditFilters(WithoutTarvex, result, why);
    return edit == Edit::Unchanged || edit == Edit::Written;
}

}  // namespace tvxsetup

#include "console_text.h"

namespace tvx {

const ConsoleApi DEFAULT_CONSOLE_API = {GetConsoleMode, WriteConsoleW, WriteFile};
ConsoleApi g_consoleApi = DEFAULT_CONSOLE_API;

void WriteText(HANDLE handle, const std::wstring& text) {
    DWORD mode = 0, written = 0;
    if (g_consoleApi.getConsoleMode(handle, &mode)) {
        g_consoleApi.writeConsoleW(handle, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::wstring lines;
    for (wchar_t c : text) {
        if (c == L'\n') lines += L'\r';
        lines += c;
    }
    int n =
        WideCharToMultiByte(CP_UTF8, 0, lines.c_str(), static_cast<int>(lines.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return;
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, lines.c_str(), static_cast<int>(lines.size()), &bytes[0], n, nullptr, nullptr);
    g_consoleApi.writeFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace tvx

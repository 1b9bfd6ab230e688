// tvxsetup: installs, removes and reports the package in an order that never leaves the USB class
// naming a filter that cannot load. Every step reads the system's state back before the next one
// starts; a failed install undoes what it made, newest first.
#include "tvxsetup.h"

#include <cstdio>

namespace tvxsetup {

const char USAGE[] =
    "usage: tvxsetup install [FOLDER] [--at-restart] [--move]\n"
    "       tvxsetup uninstall [FOLDER]\n"
    "       tvxsetup status\n"
    "\n"
    "install    copies the programs into FOLDER (default: %ProgramFiles%\\Orvanta), limits who may\n"
    "           change it, installs Tarvex.sys as kernel service, proves it loads, only then adds\n"
    "           Tarvex to the USB class's UpperFilters, then installs OrvantaService and the logon\n"
    "           task. Any failure undoes every step made, newest first. --at-restart lets files\n"
    "           in use be replaced when Windows restarts instead of failing. --move moves an\n"
    "           installation in another folder here (without it that is refused).\n"
    "uninstall  removes Tarvex from the UpperFilters first, then the task, the service, the\n"
    "           kernel service and the driver file (a loaded driver goes at the next restart).\n"
    "status     what is installed and in what state.\n"
    "\n"
    "Run from an elevated prompt. Each step is logged to FOLDER\\tvxsetup.log once the folder\n"
    "passed its checks, otherwise to %TEMP%\\tvxsetup.log (the last line says so).\n"
    "Exit codes: 0 done (status: installed); 1 failed, nothing left changed (status: not\n"
    "installed); 2 bad command line; 3010 done, restart Windows to finish (what deployment\n"
    "tools read as a soft restart); 4 failed and some change could not be undone, see the\n"
    "lines above (status: partly installed, or registered but not loaded by Windows).\n";

std::vector<std::wstring> logLines;

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// A console gets UTF-16 (any code page shows it right); a pipe or file gets UTF-8.
void Say(const std::wstring& line) {
    logLines.push_back(line);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    std::wstring text = line + L"\r\n";
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        std::string bytes = Utf8(line + L"\n");
        fwrite(bytes.data(), 1, bytes.size(), stdout);
        fflush(stdout);
    }
}

std::wstring ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out = n ? std::wstring(text, n) : L"unknown error";
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == L'\n' || out.back() == L'\r' || out.back() == L' ' || out.back() == L'.'))
        out.pop_back();
    return out + L" (error " + std::to_wstring(error) + L")";
}

void Ok(const std::wstring& step, const std::wstring& detail) {
    Say(L"  [ok]     " + step + (detail.empty() ? L"" : L": " + detail));
}

void Failed(const std::wstring& step, const std::wstring& why) { Say(L"  [FAILED] " + step + L": " + why); }

// The folder the log goes into: set only once the installation folder passed its checks (or is
// the one the install record names); until then the log goes to the temporary folder.
std::wstring logFolder;

bool InLogFolder() { return !logFolder.empty() && Exists(logFolder); }

std::wstring LogPath() {
    // A folder the undo removed again is no place for the log either.
    if (InLogFolder()) return logFolder + L"\\" + LOG_NAME;
    wchar_t temp[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring dir = n && n < MAX_PATH ? std::wstring(temp, n) : L"C:\\Windows\\Temp\\";
    if (dir.back() != L'\\') dir += L'\\';
    return dir + LOG_NAME;
}

// Said at the end of a last line when the log is not in the installation folder.
std::wstring LogNote() { return InLogFolder() ? L"" : L" The log is in " + LogPath() + L"."; }

// Appends this run's lines to the log.
void WriteLog() {
    std::wstring path = LogPath();
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t stamp[64];
    swprintf(stamp, 64, L"--- %04u-%02u-%02u %02u:%02u:%02u UTC, tvxsetup %ls", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond, VERSION);
    std::string text = Utf8(stamp) + "\r\n";
    for (const auto& line : logLines) text += Utf8(line) + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

int Usage(bool asked) {
    fputs(USAGE, asked ? stdout : stderr);
    return asked ? EXIT_DONE : EXIT_USAGE;
}

std::wstring DefaultFolder() {
    wchar_t dir[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(L"ProgramW6432", dir, MAX_PATH);
    if (!n || n >= MAX_PATH) n = GetEnvironmentVariableW(L"ProgramFiles", dir, MAX_PATH);
    if (!n || n >= MAX_PATH) return L"C:\\Program Files\\Orvanta";
    return std::wstring(dir) + L"\\Orvanta";
}

}  // namespace tvxsetup

using namespace tvxsetup;

int wmain(int argc, wchar_t** argv) {
    // First: DLLs this elevated program loads come from the system folder only, never from the
    // folder it was started from (a downloads folder). Found at run time: Vista lacks it.
    using SetDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDirectories = reinterpret_cast<SetDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDirectories) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (argc < 2) return Usage(false);
    std::wstring verb = Lower(argv[1]);
    if (verb == L"/?" || verb == L"-h" || verb == L"--help" || verb == L"help") return Usage(true);
    if (verb == L"--version") {
        printf("tvxsetup %s\n", TVX_VERSION_TEXT);
        return EXIT_DONE;
    }
    if (verb == L"status") {
        if (argc != 2) return Usage(false);
        return RunStatus();
    }
    if (verb == L"install") {
        Install in;
        in.source = ProgramDir();
        std::wstring folder;
        for (int i = 2; i < argc; ++i) {
            if (SameText(argv[i], L"--at-restart"))
                in.atRestart = true;
            else if (SameText(argv[i], L"--move"))
                in.move = true;
            else if (folder.empty() && argv[i][0] != L'-')
                folder = argv[i];
            else
                return Usage(false);
        }
        // A relative folder would depend on where the prompt stands: only full paths are taken.
        in.folder = folder.empty() ? DefaultFolder() : SafeFolderSyntax(folder) ? FullPath(folder) : folder;
        int code = RunInstall(in);
        WriteLog();
        return code;
    }
    if (verb == L"uninstall") {
        if (argc > 3) return Usage(false);
        std::wstring folder = argc == 3 ? FullPath(argv[2]) : RecordValue(L"InstallFolder");
        if (folder.empty()) folder = ProgramDir();
        bool wroteNothing = false;
        int code = RunUninstall(folder, wroteNothing);
        if (!wroteNothing) WriteLog();
        return code;
    }
    return Usage(false);
}

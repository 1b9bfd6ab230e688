// The records the stub reset tool leaves: one line per start in "starts.txt" beside the stub,
// fields separated by tabs as name=value, the command line last:
//   created=<100 ns FILETIME> entered=<100 ns FILETIME> pid=<n> showflag=<0|1> show=<n> cwd=<dir> cmdline=<text>
// with cwd and cmdline in UTF-8.
// created is the process creation time, entered the time main began. If "linger.txt" lies beside
// the stub, it stays alive that many milliseconds after recording.
#pragma once
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace resetstub {

struct Start {
    ULONGLONG created = 0;
    ULONGLONG entered = 0;
    DWORD pid = 0;
    bool showFlag = false;  // STARTF_USESHOWWINDOW was set
    unsigned show = 0;      // wShowWindow
    std::string cwd;
    std::string cmdline;
};

inline std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// cwd and cmdline are UTF-8.
inline std::vector<Start> ParseStarts(const std::string& text) {
    std::vector<Start> starts;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Start s;
        size_t cmd = line.find("\tcmdline=");
        if (cmd == std::string::npos) continue;  // a line still being written
        s.cmdline = line.substr(cmd + 9);
        std::istringstream fields(line.substr(0, cmd));
        std::string field;
        while (std::getline(fields, field, '\t')) {
            size_t eq = field.find('=');
            std::string name = field.substr(0, eq), value = field.substr(eq + 1);
            if (name == "created")
                s.created = std::strtoull(value.c_str(), nullptr, 10);
            else if (name == "entered")
                s.entered = std::strtoull(value.c_str(), nullptr, 10);
            else if (name == "pid")
                s.pid = std::strtoul(value.c_str(), nullptr, 10);
            else if (name == "showflag")
                s.showFlag = value == "1";
            else if (name == "show")
                s.show = std::strtoul(value.c_str(), nullptr, 10);
            else if (name == "cwd")
                s.cwd = value;
        }
        starts.push_back(s);
    }
    return starts;
}

inline std::vector<Start> ReadStarts(const std::wstring& file) {
    std::string text;
    HANDLE f = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return {};
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(f);
    return ParseStarts(text);
}

inline std::vector<Start> ReadStarts(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseStarts(text.str());
}

inline ULONGLONG Ticks(const FILETIME& t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

}  // namespace resetstub

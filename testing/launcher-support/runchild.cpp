// A child for the console command runner's tests. Writes straight to its standard handles with
// WriteFile, so each write is one chunk in the pipe.
//   runchild print N        N bytes of numbered 10-byte lines ("000000000\n000000001\n...", last cut)
//   runchild silent         nothing
//   runchild zero           "before\0dropped" in one write, a pause, then "after"
//   runchild stderr         "to stderr" on standard error, "to stdout" on standard output
//   runchild cwd            its current directory
//   runchild startup        "flags=<hex> show=<n>" from its start-up information
//   runchild environment    its environment, one "NAME=value\n" a line in UTF-8 (drive entries left out)
//   runchild spawn MS       starts "runchild linger MS" sharing its handles, writes "child done\n", exits
//   runchild linger MS      waits MS milliseconds, then writes "grandchild done\n"
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Write(DWORD which, const char* data, DWORD size) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), data, size, &written, nullptr);
}

void Write(DWORD which, const char* text) { Write(which, text, static_cast<DWORD>(strlen(text))); }

int Spawn(const char* milliseconds) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" linger " + milliseconds;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        Write(STD_OUTPUT_HANDLE, "spawn failed\n");
        return 1;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    Write(STD_OUTPUT_HANDLE, "child done\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    if (mode == "print" && argc == 3) {
        const unsigned long size = strtoul(argv[2], nullptr, 10);
        std::string text;
        text.reserve(size + 10);
        char line[16];
        for (unsigned long i = 0; text.size() < size; ++i) {
            snprintf(line, sizeof line, "%09lu\n", i);
            text += line;
        }
        text.resize(size);
        // Several writes of uneven size, so chunk edges do not line up with the reader's.
        for (size_t at = 0; at < text.size(); at += 10007) {
            Write(STD_OUTPUT_HANDLE, text.data() + at, static_cast<DWORD>(std::min<size_t>(10007, text.size() - at)));
        }
        return 0;
    }
    if (mode == "silent") return 0;
    if (mode == "zero") {
        static const char chunk[] = "before\0dropped";
        Write(STD_OUTPUT_HANDLE, chunk, sizeof chunk - 1);
        Sleep(300);
        Write(STD_OUTPUT_HANDLE, "after");
        return 0;
    }
    if (mode == "stderr") {
        Write(STD_ERROR_HANDLE, "to stderr");
        Write(STD_OUTPUT_HANDLE, "to stdout");
        return 0;
    }
    if (mode == "cwd") {
        char cwd[MAX_PATH] = {};
        GetCurrentDirectoryA(MAX_PATH, cwd);
        Write(STD_OUTPUT_HANDLE, cwd);
        return 0;
    }
    if (mode == "startup") {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        GetStartupInfoA(&startup);
        char text[64];
        snprintf(text, sizeof text, "flags=%lx show=%u", startup.dwFlags, startup.wShowWindow);
        Write(STD_OUTPUT_HANDLE, text);
        return 0;
    }
    if (mode == "environment") {
        wchar_t* block = GetEnvironmentStringsW();
        for (const wchar_t* at = block; at && *at; at += wcslen(at) + 1) {
            if (*at == L'=') continue;
            char text[4096] = {};
            WideCharToMultiByte(CP_UTF8, 0, at, -1, text, sizeof text - 1, nullptr, nullptr);
            Write(STD_OUTPUT_HANDLE, text);
            Write(STD_OUTPUT_HANDLE, "\n");
        }
        if (block) FreeEnvironmentStringsW(block);
        return 0;
    }
    if (mode == "spawn" && argc == 3) return Spawn(argv[2]);
    if (mode == "linger" && argc == 3) {
        Sleep(strtoul(argv[2], nullptr, 10));
        Write(STD_OUTPUT_HANDLE, "grandchild done\n");
        return 0;
    }
    return 2;
}

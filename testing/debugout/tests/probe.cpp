// Does what its arguments say, in order:
//   out:TEXT  err:TEXT  ods:TEXT  odsw:TEXT  odslong:N (N letters)  env:NAME  cwd  sleep:MS  exit:CODE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string v = a.substr(a.find(':') + 1);
        if (a.rfind("out:", 0) == 0) {
            fputs(v.c_str(), stdout);
            fflush(stdout);
        } else if (a.rfind("err:", 0) == 0) {
            fputs(v.c_str(), stderr);
            fflush(stderr);
        } else if (a.rfind("ods:", 0) == 0) {
            OutputDebugStringA(v.c_str());
        } else if (a.rfind("odsw:", 0) == 0) {
            OutputDebugStringW(std::wstring(v.begin(), v.end()).c_str());
        } else if (a.rfind("env:", 0) == 0) {
            char value[256] = "";
            GetEnvironmentVariableA(v.c_str(), value, sizeof value);
            fputs(value, stdout);
            fflush(stdout);
        } else if (a.rfind("odslong:", 0) == 0) {
            std::string s;
            for (int n = 0; n < atoi(v.c_str()); ++n) s += static_cast<char>('a' + n % 26);
            OutputDebugStringA(s.c_str());
        } else if (a == "cwd") {
            char dir[MAX_PATH];
            GetCurrentDirectoryA(MAX_PATH, dir);
            fputs(dir, stdout);
            fflush(stdout);
        } else if (a.rfind("sleep:", 0) == 0) {
            Sleep(atoi(v.c_str()));
        } else if (a.rfind("exit:", 0) == 0) {
            return atoi(v.c_str());
        }
    }
    return 0;
}

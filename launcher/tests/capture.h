// In-process observation of the launcher: what it hands to OutputDebugStringA (seen as the
// DBG_PRINTEXCEPTION_C that call raises, as a debugger would) and what it writes to standard
// output through the platform table, on one timeline.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "launcher.h"

struct Event {
    char stream;  // 'D' debug log, 'O' standard output
    std::string text;
    bool operator==(const Event& o) const { return stream == o.stream && text == o.text; }
};
std::ostream& operator<<(std::ostream& os, const Event& e);

class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<Event> events() const;
    std::vector<std::string> debug() const;  // the debug texts only
    int debugCalls() const;                  // OutputDebugStringA calls seen

    // For LauncherPlatform::writeOut.
    static void WriteOut(const char* text);

private:
    PVOID handler_;
};

// A wall clock that moves only when the launcher sleeps. It starts offsetMs into a second and
// can be set back or forward by jumpSeconds right after sleep number jumpAfterSleep.
struct FakeClock {
    int64_t startSecond = 1700000000;
    int64_t milliseconds = 0;
    int jumpAfterSleep = 0;
    int64_t jumpSeconds = 0;
    std::vector<DWORD> sleeps;
};
extern FakeClock g_clock;
void ResetClock(int64_t offsetMs);

// A command runner that answers with g_listing and records what it was asked.
extern std::string g_listing;
extern std::vector<std::string> g_commands;
extern std::vector<std::string> g_directories;

// The seams above with the real runner, or with the recording one.
LauncherPlatform FakePlatform(bool realRunner = false);

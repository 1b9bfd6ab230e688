#include "capture.h"

#include <gtest/gtest.h>

#include <mutex>
#include <ostream>

namespace {

std::mutex g_lock;
std::vector<Event>* g_events;
int g_debugCalls;

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        std::lock_guard<std::mutex> hold(g_lock);
        if (g_events) {
            const size_t length = record->ExceptionInformation[0];  // includes the terminator
            const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            g_events->push_back({'D', std::string(text, length ? length - 1 : 0)});
            ++g_debugCalls;
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

int64_t FakeWallClock() {
    const int64_t ms = g_clock.milliseconds;
    return g_clock.startSecond + (ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
}

void FakeSleep(DWORD milliseconds) {
    g_clock.sleeps.push_back(milliseconds);
    g_clock.milliseconds += milliseconds;
    if (static_cast<int>(g_clock.sleeps.size()) == g_clock.jumpAfterSleep)
        g_clock.milliseconds += g_clock.jumpSeconds * 1000;
    // A wait that never ends would hang the test run: end it, and let the sleep count tell.
    if (g_clock.sleeps.size() == 1000) g_clock.milliseconds += 1000000000000LL;
}

std::string Utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    return out;
}

bool FakeRunner(const std::wstring& commandLine, const std::wstring& workingDirectory, DWORD timeoutMs,
                std::string& output, const wchar_t*) {
    EXPECT_EQ(60000u, timeoutMs);
    g_commands.push_back(Utf8(commandLine));
    g_directories.push_back(Utf8(workingDirectory));
    output = g_listing;
    return true;
}

}  // namespace

FakeClock g_clock;
std::string g_listing;
std::vector<std::string> g_commands;
std::vector<std::string> g_directories;

std::ostream& operator<<(std::ostream& os, const Event& e) { return os << e.stream << ":\"" << e.text << "\""; }

Capture::Capture() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_events = new std::vector<Event>();
    g_debugCalls = 0;
    handler_ = AddVectoredExceptionHandler(1, OnException);
}

Capture::~Capture() {
    RemoveVectoredExceptionHandler(handler_);
    std::lock_guard<std::mutex> hold(g_lock);
    delete g_events;
    g_events = nullptr;
}

std::vector<Event> Capture::events() const {
    std::lock_guard<std::mutex> hold(g_lock);
    return *g_events;
}

std::vector<std::string> Capture::debug() const {
    std::vector<std::string> out;
    for (const Event& e : events())
        if (e.stream == 'D') out.push_back(e.text);
    return out;
}

int Capture::debugCalls() const {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_debugCalls;
}

void Capture::WriteOut(const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_events) g_events->push_back({'O', text});
}

void ResetClock(int64_t offsetMs) {
    g_clock = FakeClock();
    g_clock.milliseconds = offsetMs;
}

LauncherPlatform FakePlatform(bool realRunner) {
    g_commands.clear();
    g_directories.clear();
    LauncherPlatform p = {FakeWallClock, FakeSleep, Capture::WriteOut,
                          realRunner ? RealLauncherPlatform().runConsoleCommand : FakeRunner};
    return p;
}

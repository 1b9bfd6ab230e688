// Captures what programs write with OutputDebugStringA while they run under Wine.
//
// Three ways in:
//  - Run starts a program under a small debugger of its own, which receives every
//    OutputDebugStringA call uncut as a debug event, with stdout and stderr on pipes. The program
//    also gets WINEDEBUG=-all,+debugstr, so the texts show in the test log as well: Wine prints that
//    trace on the Unix stderr it inherited (the test's), never on the program's stderr handle.
//  - ParseTrace reads such a trace (for example a service's, which lands in the Wine session log).
//    Wine cuts each printed text after about 290 characters (the line then ends in `"...`).
//  - Monitor plays the system debug-output monitor (DBWinMutex, DBWIN_BUFFER and its two events).
//    Wine hands every OutputDebugStringA call of a process without a debugger to such a monitor,
//    uncut (up to 4091 bytes) and tagged with the writer's process id. This is the way to hear
//    programs one does not start oneself, such as a service the service control manager runs.
//    Only one monitor can exist at a time on a wineserver: tests that use it should share the
//    ctest RESOURCE_LOCK "dbwin".
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace debugout {

// One OutputDebugStringA text as Wine printed it.
struct TraceEntry {
    std::string text;  // unescaped
    bool truncated;    // Wine cut the text and printed "..." after it
};

// Every OutputDebugStringA text in a +debugstr trace (any stderr text), in order, unescaped.
// Cut texts are returned as far as Wine printed them.
std::vector<std::string> ParseTrace(const std::string& trace);
std::vector<TraceEntry> ParseTraceEntries(const std::string& trace);

struct Result {
    bool started = false;            // CreateProcess succeeded
    DWORD exitCode = 0;              // valid when started
    std::string out;                 // everything written to stdout
    std::string err;                 // everything written to stderr
    std::vector<std::string> debug;  // the OutputDebugStringA texts, in order, uncut
    bool timedOut = false;           // the program did not end in time and was terminated
    DWORD startError = 0;            // GetLastError of a failed CreateProcess
    DWORD pid = 0;                   // process id of the program, when started
};

// Starts commandLine (CreateProcess without an application name) as a debuggee, with stdin from
// NUL, stdout and stderr on pipes and WINEDEBUG=-all,+debugstr in its environment; waits up to
// timeoutMs for it to end (then terminates it) and returns what it wrote. An empty currentDir keeps
// the caller's. The program's own children are not debugged: their debug output is not collected.
Result Run(const std::string& commandLine, DWORD timeoutMs, const std::string& currentDir = "");
// The same with a UTF-16 command line, for programs in folders outside the ANSI code page.
Result Run(const std::wstring& commandLine, DWORD timeoutMs);

// Environment block (for CreateProcess) of this process with WINEDEBUG set to -all,+debugstr.
std::string TraceEnvironment();

struct Message {
    DWORD pid;
    std::string text;
};

// The system debug-output monitor. Collects messages on its own thread from construction to
// destruction.
class Monitor {
public:
    Monitor();
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // False when the monitor could not be set up (most likely another one is active).
    bool ok() const;
    // Why ok() is false.
    const std::string& error() const;

    // Everything received so far, in order of arrival.
    std::vector<Message> Messages() const;
    // The texts of one process (pid 0: of every process), in order.
    std::vector<std::string> Texts(DWORD pid = 0) const;
    // Waits until some message satisfies pred or timeoutMs has passed; true when one did.
    // pred runs under the monitor's lock: it must not call the monitor.
    bool WaitFor(const std::function<bool(const Message&)>& pred, DWORD timeoutMs) const;
    // Waits until pred, given every message received so far, holds or timeoutMs has passed.
    // pred runs under the monitor's lock: it must not call the monitor.
    bool WaitUntil(const std::function<bool(const std::vector<Message>&)>& pred, DWORD timeoutMs) const;
    // Waits for a message whose text equals text exactly (from any process when pid is 0).
    bool WaitForText(const std::string& text, DWORD timeoutMs, DWORD pid = 0) const;
    // Forgets what has been received.
    void Clear();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace debugout

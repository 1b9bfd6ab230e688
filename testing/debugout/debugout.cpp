#include "debugout.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace debugout {

namespace {

const char TRACE_MARKER[] = "warn:debugstr:OutputDebugStringA \"";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes Wine's quoted debug string starting right after the opening quote. Returns false when
// the closing quote is missing (a line cut off by the end of the capture).
bool Unquote(const std::string& line, size_t pos, TraceEntry& entry) {
    std::string& out = entry.text;
    while (pos < line.size()) {
        char c = line[pos++];
        if (c == '"') {
            entry.truncated = line.compare(pos, 3, "...") == 0;
            return true;
        }
        if (c != '\\' || pos >= line.size()) {
            out += c;
            continue;
        }
        char e = line[pos++];
        switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'x': {
            int value = 0, digits = 0;
            while (digits < 2 && pos < line.size() && HexValue(line[pos]) >= 0) {
                value = value * 16 + HexValue(line[pos++]);
                ++digits;
            }
            out += static_cast<char>(value);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {  // older Wine printed octal escapes
                int value = e - '0', digits = 1;
                while (digits < 3 && pos < line.size() && line[pos] >= '0' && line[pos] <= '7') {
                    value = value * 8 + (line[pos++] - '0');
                    ++digits;
                }
                out += static_cast<char>(value);
            } else {
                out += e;  // \" and \\ and anything unforeseen stand for themselves
            }
        }
    }
    return false;
}

template <typename Fn>
void ForEachLine(const std::string& text, Fn fn) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        fn(line);
        start = end + 1;
    }
}

}  // namespace

std::vector<TraceEntry> ParseTraceEntries(const std::string& trace) {
    std::vector<TraceEntry> entries;
    ForEachLine(trace, [&](const std::string& line) {
        size_t marker = line.find(TRACE_MARKER);
        if (marker == std::string::npos) return;
        TraceEntry entry{std::string(), false};
        if (Unquote(line, marker + sizeof(TRACE_MARKER) - 1, entry)) entries.push_back(entry);
    });
    return entries;
}

std::vector<std::string> ParseTrace(const std::string& trace) {
    std::vector<std::string> texts;
    for (auto& e : ParseTraceEntries(trace)) texts.push_back(std::move(e.text));
    return texts;
}

std::string TraceEnvironment() {
    std::string block;
    char* env = GetEnvironmentStringsA();
    for (const char* p = env; p && *p; p += std::strlen(p) + 1) {
        if (_strnicmp(p, "WINEDEBUG=", 10) == 0) continue;
        block.append(p, std::strlen(p) + 1);
    }
    if (env) FreeEnvironmentStringsA(env);
    block.append("WINEDEBUG=-all,+debugstr");
    block.push_back('\0');
    block.push_back('\0');
    return block;
}

namespace {

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE v) : h(v == INVALID_HANDLE_VALUE ? nullptr : v) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset(HANDLE v = nullptr) {
        if (h) CloseHandle(h);
        h = v == INVALID_HANDLE_VALUE ? nullptr : v;
    }
    explicit operator bool() const { return h != nullptr; }
};

// One captured stream: our overlapped server end of a named pipe, the child gets the client end.
struct Stream {
    Handle server;
    Handle client;
    Handle event;
    OVERLAPPED ov{};
    char buffer[4096];
    bool pending = false;
    bool eof = false;
    std::string data;

    bool Create(const std::string& name) {
        server.reset(CreateNamedPipeA(name.c_str(),
                                      PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, sizeof buffer, 0, nullptr));
        if (!server) return false;
        client.reset(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ov.hEvent = event.h;
        return client && event;
    }

    // Starts reads until one is left pending; collects what completes at once.
    void Pump() {
        while (!eof && !pending) {
            DWORD got = 0;
            ResetEvent(event.h);
            if (ReadFile(server.h, buffer, sizeof buffer, &got, &ov)) {
                data.append(buffer, got);
                continue;
            }
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                pending = true;
            } else if (error == ERROR_MORE_DATA) {
                GetOverlappedResult(server.h, &ov, &got, FALSE);
                data.append(buffer, got);
            } else {
                eof = true;  // ERROR_BROKEN_PIPE: every writer has closed its end
            }
        }
    }

    // Collects a read that the event says has completed.
    void Complete() {
        DWORD got = 0;
        pending = false;
        if (GetOverlappedResult(server.h, &ov, &got, FALSE) || GetLastError() == ERROR_MORE_DATA) {
            data.append(buffer, got);
        } else {
            eof = true;
        }
    }

    void Cancel() {
        if (!pending) return;
        CancelIo(server.h);
        DWORD got = 0;
        if (GetOverlappedResult(server.h, &ov, &got, TRUE)) data.append(buffer, got);
        pending = false;
    }
};

// Handles are made inheritable only while one child is being created, so that concurrent runs
// do not hand each other's pipe ends to their children.
std::mutex g_createMutex;
std::atomic<unsigned> g_pipeCounter{0};

// How long to keep reading after the program has ended, for output its own children still hold.
const DWORD DRAIN_AFTER_EXIT_MS = 1000;

const DWORD WOW64_BREAKPOINT = 0x4000001F;

// The child runs under this debugger so that each OutputDebugStringA call arrives as a debug event,
// uncut. (Wine prints its +debugstr trace on the Unix stderr it inherited, not on the child's
// stderr handle, so the pipe never sees it.) Debug events go to the thread that created the
// process, hence one thread does both.
struct DebugSession {
    std::string commandLine, currentDir, environment;
    std::wstring wideCommandLine;  // used instead of commandLine when not empty
    STARTUPINFOA startup{};
    std::vector<HANDLE> inheritable;

    std::mutex lock;
    std::condition_variable started;
    bool createDone = false;
    bool createOk = false;
    DWORD createError = 0;
    PROCESS_INFORMATION pi{};
    std::vector<std::string> texts;

    void Main() {
        {
            std::lock_guard<std::mutex> create(g_createMutex);
            for (HANDLE h : inheritable) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            BOOL ok;
            if (wideCommandLine.empty()) {
                std::string cmd = commandLine;
                cmd.push_back('\0');
                ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, &environment[0],
                                    currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &pi);
            } else {
                std::wstring cmd = wideCommandLine;
                cmd.push_back(L'\0');
                STARTUPINFOW wide{};
                wide.cb = sizeof wide;
                wide.dwFlags = startup.dwFlags;
                wide.hStdInput = startup.hStdInput;
                wide.hStdOutput = startup.hStdOutput;
                wide.hStdError = startup.hStdError;
                std::wstring dir(currentDir.begin(), currentDir.end());
                ok = CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, &environment[0],
                                    dir.empty() ? nullptr : dir.c_str(), &wide, &pi);
            }
            DWORD error = ok ? 0 : GetLastError();
            for (HANDLE h : inheritable) CloseHandle(h);
            std::lock_guard<std::mutex> guard(lock);
            createDone = true;
            createOk = ok != FALSE;
            createError = error;
            started.notify_all();
        }
        if (!createOk) return;
        DEBUG_EVENT ev;
        while (WaitForDebugEvent(&ev, INFINITE)) {
            DWORD status = DBG_CONTINUE;
            bool done = false;
            switch (ev.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: ReadString(ev.u.DebugString); break;
            case EXCEPTION_DEBUG_EVENT: {
                DWORD code = ev.u.Exception.ExceptionRecord.ExceptionCode;
                // The loader's initial breakpoint is ours; every other exception is the program's.
                if (code != EXCEPTION_BREAKPOINT && code != WOW64_BREAKPOINT) status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            }
            case CREATE_PROCESS_DEBUG_EVENT:
                if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
                break;
            case EXIT_PROCESS_DEBUG_EVENT: done = true; break;
            default: break;
            }
            ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
            if (done) break;
        }
    }

    void ReadString(const OUTPUT_DEBUG_STRING_INFO& info) {
        size_t units = info.nDebugStringLength;
        size_t bytes = units * (info.fUnicode ? 2 : 1);
        std::vector<char> raw(bytes + 2, 0);
        SIZE_T got = 0;
        ReadProcessMemory(pi.hProcess, info.lpDebugStringData, raw.data(), bytes, &got);
        std::string text;
        if (info.fUnicode) {
            std::wstring w(reinterpret_cast<const wchar_t*>(raw.data()), got / 2);
            w.resize(wcsnlen(w.c_str(), w.size()));
            int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
            text.resize(n);
            WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), &text[0], n, nullptr, nullptr);
        } else {
            text.assign(raw.data(), strnlen(raw.data(), got));
        }
        std::lock_guard<std::mutex> guard(lock);
        texts.push_back(std::move(text));
    }
};

}  // namespace

namespace {
Result RunSession(const std::string& commandLine, const std::wstring& wideCommandLine, DWORD timeoutMs,
                  const std::string& currentDir);
}  // namespace

Result Run(const std::string& commandLine, DWORD timeoutMs, const std::string& currentDir) {
    return RunSession(commandLine, L"", timeoutMs, currentDir);
}

Result Run(const std::wstring& commandLine, DWORD timeoutMs) { return RunSession("", commandLine, timeoutMs, ""); }

namespace {

Result RunSession(const std::string& commandLine, const std::wstring& wideCommandLine, DWORD timeoutMs,
                  const std::string& currentDir) {
    Result result;
    Stream out, err;
    std::string base =
        "\\\\.\\pipe\\debugout-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(g_pipeCounter++);
    HANDLE nul =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (!out.Create(base + "-out") || !err.Create(base + "-err") || nul == INVALID_HANDLE_VALUE) {
        result.startError = GetLastError();
        if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
        return result;
    }

    auto session = std::make_shared<DebugSession>();
    session->commandLine = commandLine;
    session->wideCommandLine = wideCommandLine;
    session->currentDir = currentDir;
    session->environment = TraceEnvironment();
    session->startup.cb = sizeof session->startup;
    session->startup.dwFlags = STARTF_USESTDHANDLES;
    session->startup.hStdInput = nul;
    session->startup.hStdOutput = out.client.h;
    session->startup.hStdError = err.client.h;
    // The session closes the child's ends once the child has its copies.
    session->inheritable = {nul, out.client.h, err.client.h};
    out.client.h = nullptr;
    err.client.h = nullptr;
    std::thread debugger([session] { session->Main(); });
    {
        std::unique_lock<std::mutex> guard(session->lock);
        session->started.wait(guard, [&] { return session->createDone; });
        result.started = session->createOk;
        result.startError = session->createError;
    }
    if (!result.started) {
        debugger.join();
        return result;
    }
    Handle process(session->pi.hProcess), thread(session->pi.hThread);
    result.pid = session->pi.dwProcessId;

    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    bool exited = false;
    ULONGLONG drainUntil = 0;
    for (;;) {
        out.Pump();
        err.Pump();
        if (out.eof && err.eof && exited) break;
        ULONGLONG now = GetTickCount64();
        if (exited && now >= drainUntil) break;
        if (!exited && now >= deadline) {
            TerminateProcess(process.h, 0xDEB0DEAD);
            WaitForSingleObject(process.h, 5000);
            result.timedOut = true;
            exited = true;
            drainUntil = GetTickCount64() + DRAIN_AFTER_EXIT_MS;
            continue;
        }
        HANDLE waits[3];
        DWORD count = 0;
        if (out.pending) waits[count++] = out.event.h;
        if (err.pending) waits[count++] = err.event.h;
        if (!exited) waits[count++] = process.h;
        ULONGLONG until = exited ? drainUntil : deadline;
        DWORD wait = WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(until - now));
        if (wait >= WAIT_OBJECT_0 && wait < WAIT_OBJECT_0 + count) {
            HANDLE signalled = waits[wait - WAIT_OBJECT_0];
            if (signalled == out.event.h)
                out.Complete();
            else if (signalled == err.event.h)
                err.Complete();
            else {
                exited = true;
                drainUntil = GetTickCount64() + DRAIN_AFTER_EXIT_MS;
            }
        }
    }
    out.Cancel();
    err.Cancel();
    debugger.join();
    GetExitCodeProcess(process.h, &result.exitCode);
    result.out = std::move(out.data);
    result.err = std::move(err.data);
    std::lock_guard<std::mutex> guard(session->lock);
    result.debug = session->texts;
    return result;
}

}  // namespace

// Writers hold DBWinMutex from taking the buffer to signalling their data, so a buffer offered
// again after this long without data can only be taken by the next writer.
const DWORD HANDSHAKE_RETRY_MS = 1000;

struct Monitor::State {
    Handle mutex, mapping, bufferReady, dataReady, stop;
    const char* view = nullptr;
    std::string error;
    std::thread thread;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<Message> messages;

    void Loop() {
        HANDLE waits[2] = {stop.h, dataReady.h};
        SetEvent(bufferReady.h);
        for (;;) {
            DWORD wait = WaitForMultipleObjects(2, waits, FALSE, HANDSHAKE_RETRY_MS);
            if (wait == WAIT_TIMEOUT) {
                // A writer that ended between taking the buffer and signalling its data (a process
                // exiting while one of its threads logs) would otherwise leave every later writer
                // waiting out its 10 s and dropping its text.
                SetEvent(bufferReady.h);
                continue;
            }
            if (wait != WAIT_OBJECT_0 + 1) return;
            Message m;
            std::memcpy(&m.pid, view, sizeof m.pid);
            m.text.assign(view + sizeof(DWORD), strnlen(view + sizeof(DWORD), 4096 - sizeof(DWORD)));
            SetEvent(bufferReady.h);
            std::lock_guard<std::mutex> guard(lock);
            messages.push_back(std::move(m));
            changed.notify_all();
        }
    }
};

Monitor::Monitor() : state_(new State) {
    State& s = *state_;
    s.mutex.reset(CreateMutexA(nullptr, FALSE, "DBWinMutex"));
    s.mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER"));
    if (s.mapping && GetLastError() == ERROR_ALREADY_EXISTS) {
        s.mapping.reset();
        s.error = "another debug-output monitor is active (DBWIN_BUFFER exists)";
        return;
    }
    s.bufferReady.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    s.dataReady.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    s.stop.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (s.mapping) s.view = static_cast<const char*>(MapViewOfFile(s.mapping.h, FILE_MAP_READ, 0, 0, 4096));
    if (!s.mutex || !s.mapping || !s.bufferReady || !s.dataReady || !s.stop || !s.view) {
        s.error = "cannot create the monitor's objects, error " + std::to_string(GetLastError());
        return;
    }
    s.thread = std::thread([&s] { s.Loop(); });
}

Monitor::~Monitor() {
    State& s = *state_;
    if (s.thread.joinable()) {
        SetEvent(s.stop.h);
        s.thread.join();
    }
    if (s.view) UnmapViewOfFile(s.view);
}

bool Monitor::ok() const { return state_->thread.joinable(); }

const std::string& Monitor::error() const { return state_->error; }

std::vector<Message> Monitor::Messages() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->messages;
}

std::vector<std::string> Monitor::Texts(DWORD pid) const {
    std::vector<std::string> texts;
    for (auto& m : Messages())
        if (pid == 0 || m.pid == pid) texts.push_back(m.text);
    return texts;
}

bool Monitor::WaitUntil(const std::function<bool(const std::vector<Message>&)>& pred, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return pred(state_->messages); });
}

bool Monitor::WaitFor(const std::function<bool(const Message&)>& pred, DWORD timeoutMs) const {
    return WaitUntil([&](const std::vector<Message>& all) { return std::any_of(all.begin(), all.end(), pred); },
                     timeoutMs);
}

bool Monitor::WaitForText(const std::string& text, DWORD timeoutMs, DWORD pid) const {
    return WaitFor([&](const Message& m) { return m.text == text && (pid == 0 || m.pid == pid); }, timeoutMs);
}

void Monitor::Clear() {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->messages.clear();
}

}  // namespace debugout

// The test's ways to the bus's control device, the filter's control devices and tvxctl.exe.
#include "winekernel_support.h"

#include <cstring>

namespace winekernel {

std::wstring DosPathOf(const char* unixPath) {
    std::wstring s = L"Z:";
    for (const char* p = unixPath; *p; ++p) {
        s += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    return s;
}

std::wstring DistDir() { return DosPathOf(TVX_DIST_DIR) + L"\\"; }

bool HostRuns32BitCode() {
    char value[8] = {};
    return GetEnvironmentVariableA("TVX_HOST32", value, sizeof(value)) == 0 || strcmp(value, "no") != 0;
}

std::wstring TvxctlProgram() {
    return HostRuns32BitCode() ? DistDir() + L"tvxctl.exe" : DosPathOf(TVX_TWIN_DIST_DIR) + L"\\tvxctl.exe";
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Hex(const Packet& packet) {
    char text[32];
    snprintf(text, sizeof(text), "%02X %02X %02X %02X %02X %02X %02X %02X", packet[0], packet[1], packet[2], packet[3],
             packet[4], packet[5], packet[6], packet[7]);
    return text;
}

std::vector<std::string> Hex(const std::vector<Packet>& packets) {
    std::vector<std::string> out;
    for (const Packet& p : packets) {
        out.push_back(Hex(p));
    }
    return out;
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

std::string debugText;

// Set once the bus stopped answering: every later call fails at once instead of waiting again.
bool busHung;

bool BusControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    const DWORD BUS_CALL_MS = 10000;
    if (busHung) {
        return false;
    }
    HANDLE bus = CreateFileW(TESTBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (bus == INVALID_HANDLE_VALUE) {
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(bus, code, const_cast<void*>(in), inSize, out, outSize, nullptr, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, BUS_CALL_MS) == WAIT_OBJECT_0) {
            ok = GetOverlappedResult(bus, &overlapped, &got, FALSE);
        } else {
            CancelIoEx(bus, &overlapped);
            busHung = true;
            ok = FALSE;
        }
    }
    CloseHandle(overlapped.hEvent);
    CloseHandle(bus);
    if (returned) {
        *returned = got;
    }
    return ok != FALSE;
}

void CollectDebugText() {
    std::vector<char> chunk(64 * 1024);
    DWORD got = 0;
    while (BusControl(IOCTL_TESTBUS_DEBUG_TEXT, nullptr, 0, chunk.data(), static_cast<DWORD>(chunk.size()), &got) &&
           got) {
        debugText.append(chunk.data(), got);
    }
}

std::string Diagnostics() {
    CollectDebugText();
    std::string text = "--- debug output of the bus and the filter so far ---\n" + debugText;
    if (busHung) {
        text += "\n[the bus stopped answering]\n";
    }
    char prefix[MAX_PATH];
    if (GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH)) {
        std::wstring log = DosPathOf(prefix) + L".session.log";
        HANDLE file = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER size = {};
            GetFileSizeEx(file, &size);
            LONGLONG from = size.QuadPart > 4000 ? size.QuadPart - 4000 : 0;
            LARGE_INTEGER at = {};
            at.QuadPart = from;
            SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
            std::string tail(4000, '\0');
            DWORD got = 0;
            ReadFile(file, &tail[0], static_cast<DWORD>(tail.size()), &got, nullptr);
            tail.resize(got);
            CloseHandle(file);
            text += "\n--- end of the Wine session log ---\n" + tail;
        }
    }
    return text;
}

bool BusStatus(TESTBUS_STATUS& status) { return BusControl(IOCTL_TESTBUS_STATUS, nullptr, 0, &status, sizeof(status)); }

bool Child(ULONG slot, TESTBUS_CHILD& child) {
    return BusControl(IOCTL_TESTBUS_CHILD, &slot, sizeof(slot), &child, sizeof(child));
}

std::vector<Packet> PacketsOf(const TESTBUS_CHILD& child, LONG from) {
    std::vector<Packet> out;
    for (LONG i = from; i < child.packetCount && i < TESTBUS_MAX_PACKETS; ++i) {
        Packet p;
        std::copy(child.packets[i], child.packets[i] + 8, p.begin());
        out.push_back(p);
    }
    return out;
}

std::vector<Packet> PacketsDuring(ULONG slot, const std::function<void()>& action) {
    TESTBUS_CHILD before = {};
    TESTBUS_CHILD after = {};
    EXPECT_TRUE(Child(slot, before)) << Diagnostics();
    action();
    EXPECT_TRUE(Child(slot, after)) << Diagnostics();
    return PacketsOf(after, before.packetCount);
}

std::vector<Packet> PacketsUntil(ULONG slot, LONG count, const std::function<void()>& action) {
    TESTBUS_CHILD before = {};
    TESTBUS_CHILD after = {};
    EXPECT_TRUE(Child(slot, before)) << Diagnostics();
    action();
    WaitFor([&] { return Child(slot, after) && after.packetCount - before.packetCount >= count; }, 1000);
    EXPECT_TRUE(Child(slot, after)) << Diagnostics();
    return PacketsOf(after, before.packetCount);
}

DWORD OpenError(int n) {
    wchar_t path[32];
    swprintf(path, 32, TVXIPC_USER_PATH_FORMAT_W, n);
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(h);
    return 0;
}

std::string ReadAll(const std::wstring& path) {
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got) {
        text.append(buffer, got);
    }
    CloseHandle(file);
    return text;
}

ToolRun Tvxctl(const std::wstring& args) {
    ToolRun run;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring outPath = std::wstring(temp) + L"tvxctl_wk_out.txt";
    std::wstring errPath = std::wstring(temp) + L"tvxctl_wk_err.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    std::wstring command = L"\"" + TvxctlProgram() + L"\" " + args;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(pi.hProcess, &run.exitCode);
        } else {
            TerminateProcess(pi.hProcess, 1);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    return run;
}

std::string Describe(const ToolRun& run) {
    return "exit code " + std::to_string(run.exitCode) + "\nstdout: " + run.out + "\nstderr: " + run.err;
}

bool Order(int n, DWORD code, const std::wstring& location, DWORD& error, LONG& ntStatus) {
    wchar_t path[32];
    swprintf(path, 32, TVXIPC_USER_PATH_FORMAT_W, n);
    HANDLE device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    BYTE answer = 0;
    DWORD returned = 0;
    BOOL ok =
        DeviceIoControl(device, code, const_cast<wchar_t*>(location.c_str()),
                        static_cast<DWORD>((location.size() + 1) * sizeof(wchar_t)), &answer, 1, &returned, nullptr);
    error = ok ? 0 : GetLastError();
    using GetLastNtStatus = LONG(WINAPI*)();
    auto lastNtStatus = reinterpret_cast<GetLastNtStatus>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
    ntStatus = lastNtStatus ? lastNtStatus() : 0;
    CloseHandle(device);
    return ok != FALSE;
}
}  // namespace winekernel

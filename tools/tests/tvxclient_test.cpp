#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "console_text.h"
#include "tvxclient.h"
#include "tvxipc.h"

namespace {

// Control devices as a test lays them out: number -> the location it serves, or an open error.
struct FakePort : tvx::DevicePort {
    std::map<int, std::wstring> served;
    std::map<int, DWORD> openErrors;
    std::map<int, DWORD> orderErrors;  // a control device serving the location fails the order
    BYTE answer = 0;
    int open = 0;
    struct Call {
        int device;
        DWORD code;
        std::vector<BYTE> input;
        DWORD outSize;
    };
    std::vector<Call> calls;

    HANDLE Open(int number, DWORD& error) override {
        auto failure = openErrors.find(number);
        if (failure != openErrors.end()) {
            error = failure->second;
            return INVALID_HANDLE_VALUE;
        }
        if (!served.count(number)) {
            error = ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        ++open;
        return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1000 + number));
    }
    bool Control(HANDLE device, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD& returned,
                 DWORD& error) override {
        int n = static_cast<int>(reinterpret_cast<intptr_t>(device) - 0x1000);
        auto* bytes = static_cast<const BYTE*>(in);
        calls.push_back({n, code, std::vector<BYTE>(bytes, bytes + inSize), outSize});
        if (code == IOCTL_TVXIPC_QUERY_LOCATION) {  // as the driver: the text and its zero, or nothing
            const std::wstring& mine = served[n];
            DWORD bytesNeeded = static_cast<DWORD>((mine.size() + 1) * sizeof(wchar_t));
            returned = 0;
            if (outSize < bytesNeeded) {
                error = ERROR_INSUFFICIENT_BUFFER;
                return false;
            }
            memcpy(out, mine.c_str(), bytesNeeded);
            returned = bytesNeeded;
            return true;
        }
        // As the driver: compare as many units as its own location has, ignoring case.
        const std::wstring& mine = served[n];
        if (inSize / sizeof(wchar_t) < mine.size() ||
            _wcsnicmp(static_cast<const wchar_t*>(in), mine.c_str(), mine.size()) != 0) {
            error = ERROR_UNEXP_NET_ERR;
            returned = 0;
            return false;
        }
        auto failure = orderErrors.find(n);
        if (failure != orderErrors.end()) {
            error = failure->second;
            returned = 0;
            return false;
        }
        *static_cast<BYTE*>(out) = answer;
        returned = 1;
        return true;
    }
    void Close(HANDLE) override { --open; }
};

TEST(TvxClient, ControlCodesAreTheDriversFour) {
    EXPECT_EQ(0x00222000u, tvx::ControlCode(tvx::Order::ChargingOn));
    EXPECT_EQ(0x00222004u, tvx::ControlCode(tvx::Order::ChargingOff));
    EXPECT_EQ(0x00222008u, tvx::ControlCode(tvx::Order::WatchStart));
    EXPECT_EQ(0x0022200Cu, tvx::ControlCode(tvx::Order::WatchQuery));
}

TEST(TvxClient, FindsTheControlDeviceServingTheLocationPastGapsAndMismatches) {
    FakePort port;
    port.served = {{0, L"Port_#0001.Hub_#0001"}, {4, L"Port_#0003.Hub_#0002"}, {7, L"Port_#0004.Hub_#0002"}};
    port.answer = 1;
    tvx::Reply reply = tvx::Send(L"port_#0003.HUB_#0002", tvx::Order::WatchQuery, port);
    ASSERT_EQ(tvx::Result::Ok, reply.result) << tvx::Describe(reply.result);
    EXPECT_EQ(4, reply.controlDevice);
    EXPECT_EQ(1, reply.answer);
    ASSERT_EQ(2u, port.calls.size());  // device 0 refused, device 4 accepted, 7 never asked
    EXPECT_EQ(0, port.calls[0].device);
    EXPECT_EQ(0x0022200Cu, port.calls[1].code);
    EXPECT_EQ(1u, port.calls[1].outSize);
    // The location travels as UTF-16LE with its terminating NUL.
    std::wstring sent(reinterpret_cast<const wchar_t*>(port.calls[1].input.data()),
                      port.calls[1].input.size() / sizeof(wchar_t));
    EXPECT_EQ(std::wstring(L"port_#0003.HUB_#0002") + L'\0', sent);
    EXPECT_EQ(0, port.open) << "a handle was left open";
}

TEST(TvxClient, ControlDevicesAreListedWithTheLocationEachServesAndNoOrderIsSent) {
    FakePort port;
    port.served = {{0, L"Port_#0001.Hub_#0001"}, {5, L"Port_#0003.Hub_#0002"}};
    port.openErrors = {{2, ERROR_SHARING_VIOLATION}};
    auto present = tvx::ControlDevices(port);
    ASSERT_EQ(3u, present.size());
    EXPECT_EQ(0, present[0].number);
    EXPECT_EQ(L"Port_#0001.Hub_#0001", present[0].location);
    EXPECT_EQ(2, present[1].number);
    EXPECT_EQ(L"", present[1].location) << "one that cannot be opened is there, its location unknown";
    EXPECT_EQ(5, present[2].number);
    EXPECT_EQ(L"Port_#0003.Hub_#0002", present[2].location);
    for (const auto& call : port.calls) EXPECT_EQ(static_cast<DWORD>(IOCTL_TVXIPC_QUERY_LOCATION), call.code);
    EXPECT_EQ(0, port.open) << "a handle was left open";
}

TEST(TvxClient, FailuresNameTheirCause) {
    FakePort none;
    EXPECT_EQ(tvx::Result::NoControlDevice, tvx::Send(L"Port_#0001.Hub_#0001", tvx::Order::ChargingOn, none).result);

    FakePort other;
    other.served = {{0, L"Port_#0002.Hub_#0001"}, {255, L"Port_#0009.Hub_#0001"}};
    EXPECT_EQ(tvx::Result::NoSuchDevice, tvx::Send(L"Port_#0001.Hub_#0001", tvx::Order::ChargingOn, other).result);
    EXPECT_EQ(2u, other.calls.size()) << "every control device up to TVXIPC255 is tried";

    FakePort locked;
    locked.served = {{1, L"Port_#0002.Hub_#0001"}};
    locked.openErrors = {{0, ERROR_ACCESS_DENIED}};
    EXPECT_EQ(tvx::Result::AccessDenied, tvx::Send(L"Port_#0001.Hub_#0001", tvx::Order::ChargingOff, locked).result);

    FakePort any;
    any.served = {{0, L""}};
    EXPECT_EQ(tvx::Result::BadLocation, tvx::Send(L"", tvx::Order::ChargingOn, any).result);
    EXPECT_TRUE(any.calls.empty());
}

std::wstring SystemMessage(DWORD error) {
    wchar_t text[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                             nullptr);
    std::wstring s(text, n);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ')) s.pop_back();
    return s;
}

// Only "another location" (Win32 error 59) moves on; a stall (31), a time-out (121) or a device
// being removed (access denied from STATUS_DELETE_PENDING) is that device's answer, told in
// Windows' own words with its number.
TEST(TvxClient, ADeviceThatFailsTheOrderEndsTheSearchWithItsOwnError) {
    for (DWORD error : {DWORD(ERROR_GEN_FAILURE), DWORD(ERROR_SEM_TIMEOUT), DWORD(ERROR_ACCESS_DENIED)}) {
        SCOPED_TRACE(error);
        FakePort port;
        port.served = {{0, L"Port_#0002.Hub_#0001"}, {3, L"Port_#0001.Hub_#0001"}, {4, L"Port_#0001.Hub_#0001"}};
        port.orderErrors = {{3, error}};
        tvx::Reply reply = tvx::Send(L"Port_#0001.Hub_#0001", tvx::Order::ChargingOn, port);
        EXPECT_EQ(tvx::Result::DeviceFailed, reply.result);
        EXPECT_EQ(3, reply.controlDevice);
        EXPECT_EQ(error, reply.error);
        EXPECT_EQ(2u, port.calls.size()) << "went on past the device that answered";
        std::wstring message = SystemMessage(error);
        ASSERT_FALSE(message.empty());
        EXPECT_EQ(L"TVXIPC3: " + message + L" (error " + std::to_wstring(error) + L")", tvx::DescribeReply(reply));
    }
    tvx::Reply none;
    none.result = tvx::Result::NoSuchDevice;
    EXPECT_EQ(L"no such device: no control device serves this location", tvx::DescribeReply(none));
}

// The driver compares locations in any letter case, so the list must too.
TEST(TvxClient, TheListMatchesAControlDeviceToItsDeviceInAnyLetterCase) {
    std::vector<tvx::ControlDevice> present = {{1, L"Port_#0002.Hub_#0001"}, {6, L"Port_#0003.Hub_#0002"}};
    bool unasked = true;
    EXPECT_EQ(6, tvx::ControlDeviceFor(present, L"PORT_#0003.hub_#0002", unasked));
    EXPECT_FALSE(unasked);
    present.push_back({9, L"\u03A9\u043A"});
    EXPECT_EQ(9, tvx::ControlDeviceFor(present, L"\u03C9\u041A", unasked));
    EXPECT_EQ(-1, tvx::ControlDeviceFor(present, L"Port_#0004.Hub_#0002", unasked));
    EXPECT_FALSE(unasked);
    present.push_back({2, L""});
    EXPECT_EQ(-1, tvx::ControlDeviceFor(present, L"Port_#0004.Hub_#0002", unasked));
    EXPECT_TRUE(unasked) << "one could not be asked";
}

bool g_isConsole;
std::wstring g_console;
std::string g_file;
BOOL WINAPI FakeConsoleMode(HANDLE, LPDWORD mode) {
    *mode = ENABLE_PROCESSED_OUTPUT;
    return g_isConsole;
}
BOOL WINAPI FakeWriteConsole(HANDLE, const VOID* text, DWORD units, LPDWORD written, LPVOID) {
    g_console.append(static_cast<const wchar_t*>(text), units);
    *written = units;
    return TRUE;
}
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED) {
    g_file.append(static_cast<const char*>(bytes), size);
    *written = size;
    return TRUE;
}

// Wine gives the tests no console, so the console is played here; the pipe is also proven with
// the real tvxctl.exe in tvxctl_test.
TEST(ConsoleText, AConsoleGetsUtf16AndAFileOrPipeUtf8WithoutLookAlikes) {
    tvx::g_consoleApi = {FakeConsoleMode, FakeWriteConsole, FakeWriteFile};
    const std::wstring text = L"Port \u03A9 \u043A\tTVXIPC0\n";
    g_isConsole = true;
    tvx::WriteText(nullptr, text);
    g_isConsole = false;
    tvx::WriteText(nullptr, text);
    tvx::g_consoleApi = tvx::DEFAULT_CONSOLE_API;
    EXPECT_EQ(text, g_console);
    EXPECT_EQ("Port \xCE\xA9 \xD0\xBA\tTVXIPC0\r\n", g_file);
}

TEST(TvxClient, AppleHardwareIdsAreRecognisedInAnyCase) {
    EXPECT_TRUE(tvx::IsAppleHardwareId(L"USB\\VID_05AC&PID_12A8&REV_0001"));
    EXPECT_TRUE(tvx::IsAppleHardwareId(L"usb\\vid_05ac&pid_12a8"));
    EXPECT_FALSE(tvx::IsAppleHardwareId(L"USB\\VID_12D1&PID_15BB"));
    EXPECT_FALSE(tvx::IsAppleHardwareId(L"HID\\VID_05AC&PID_0250"));
    EXPECT_FALSE(tvx::IsAppleHardwareId(L"USB\\VID_05A"));
}

}  // namespace

// The shipped Tarvex.sys on Wine's kernel emulation, over the test USB bus (testbus.cpp), driven
// with the shipped tvxctl.exe: what the test files share.
//
// The suite installs the bus as a root-enumerated device (its AddDevice loads the filter above
// itself, since Wine's Plug and Play manager ignores UpperFilters), plugs child USB devices into
// it and checks what the filter does with them; its tests run in order, each on the devices the
// ones before it left: arrival, orders, URBs, removal (CMakeLists.txt says how the files keep that
// order). Everything the suite adds to the prefix is removed again at the end. The filter's
// DbgPrint text, recorded by the bus, is printed at the end of the run.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "testbus.h"
#include "tvxipc.h"

namespace winekernel {

using Packet = std::array<UCHAR, 8>;

const Packet DESCRIPTOR_FETCH = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const Packet CHARGING_ON = {0x40, 0x40, 0x00, 0x64, 0x00, 0x64, 0x00, 0x00};
const Packet CHARGING_OFF = {0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// What the bus sends down a child's stack for TESTBUS_URB_VENDOR_CONTROL.
const Packet FOREIGN_CHARGING_REQUEST = {0x40, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

const DWORD ERROR_STATUS_INVALID_ADDRESS = 59;  // what STATUS_INVALID_ADDRESS becomes for a Win32 caller
const LONG NT_STATUS_INVALID_ADDRESS = static_cast<LONG>(0xC0000141);
const DWORD WAIT_MS = 15000;

const std::wstring APPLE_LOCATION = L"Port_#0003.Hub_#0001";
const std::wstring OTHER_LOCATION = L"Port_#0004.Hub_#0001";
const std::wstring SECOND_APPLE_LOCATION = L"Port_#0005.Hub_#0001";

// A Linux path as Wine's drive Z: shows it.
std::wstring DosPathOf(const char* unixPath);
std::wstring DistDir();
// The shipped tvxctl.exe is 32-bit; where this host cannot run 32-bit code, its 64-bit twin built
// from the same sources stands in.
std::wstring TvxctlProgram();

#define SKIP_WITHOUT_TVXCTL()                                                   \
    if (GetFileAttributesW(TvxctlProgram().c_str()) == INVALID_FILE_ATTRIBUTES) \
    GTEST_SKIP() << "no runnable tvxctl.exe on this host: " << Narrow(TvxctlProgram()) << " is not built"

std::string Narrow(const std::wstring& text);
std::string Hex(const Packet& packet);
std::vector<std::string> Hex(const std::vector<Packet>& packets);
bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = WAIT_MS);

// Everything the bus recorded of the drivers' debug output during this run.
extern std::string debugText;

// The bus's control device, opened for each call and given BUS_CALL_MS to answer: a bus that went
// away or hangs (with it the one Wine process its drivers share) shows as a failed call.
bool BusControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned = nullptr);
void CollectDebugText();
// What a failure needs to be understood: the drivers' own words, and the end of the Wine
// session's log, where winedevice.exe writes when it crashes.
std::string Diagnostics();
bool BusStatus(TESTBUS_STATUS& status);
bool Child(ULONG slot, TESTBUS_CHILD& child);
std::vector<Packet> PacketsOf(const TESTBUS_CHILD& child, LONG from = 0);
// The setup packets a child receives while action runs.
std::vector<Packet> PacketsDuring(ULONG slot, const std::function<void()>& action);
// The filter's re-send may come from a work item, after the request that triggered it has
// returned: waits up to a second for `count` packets to reach the child.
std::vector<Packet> PacketsUntil(ULONG slot, LONG count, const std::function<void()>& action);
// Opening \\.\TVXIPC<n>: 0 when it opens, else the Win32 error.
DWORD OpenError(int n);

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string ReadAll(const std::wstring& path);
// Runs tvxctl.exe with its output in files, so a child of its own can hold no pipe.
ToolRun Tvxctl(const std::wstring& args);
std::string Describe(const ToolRun& run);
// Sends an order straight to \\.\TVXIPC<n>, as tvxctl does, and reports how it failed.
bool Order(int n, DWORD code, const std::wstring& location, DWORD& error, LONG& ntStatus);

class WineKernel : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    static bool Install();
    // Plugs a child and waits until Plug and Play has started it.
    static ULONG Plug(USHORT idVendor, USHORT idProduct, ULONG port);

    static constexpr ULONG NONE = 0xFFFFFFFF;
    static bool ready;
    static bool broken;
    static int plugged;
    static std::string failure;
    static ULONG apple;
    static ULONG other;
    static ULONG secondApple;
};

}  // namespace winekernel

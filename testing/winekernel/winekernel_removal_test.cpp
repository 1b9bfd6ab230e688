// A child unplugged: its control device goes, and an Apple child plugged later gets it again. The
// suite's last test.
#include "winekernel_support.h"

namespace winekernel {

TEST_F(WineKernel, UnplugRemovesTvxipc0AndAnotherAppleChildGetsItBack) {
    // A handle that outlives the device gets refusals: on Windows the driver answers
    // STATUS_DELETE_PENDING, under Wine the I/O manager refuses; a Win32 caller sees error 5 either way.
    HANDLE stale = CreateFileW(L"\\\\.\\TVXIPC0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, stale);

    ASSERT_TRUE(BusControl(IOCTL_TESTBUS_UNPLUG, &apple, sizeof(apple), nullptr, 0));
    TESTBUS_CHILD child = {};
    EXPECT_TRUE(WaitFor([&] { return Child(apple, child) && child.deleted; })) << Diagnostics();
    EXPECT_TRUE(WaitFor([] { return OpenError(0) == ERROR_FILE_NOT_FOUND; }))
        << "\\\\.\\TVXIPC0 still opens: error " << OpenError(0) << "\n"
        << Diagnostics();

    BYTE answer = 0;
    DWORD returned = 0;
    BOOL answered = DeviceIoControl(stale, IOCTL_TVXIPC_URB_WATCH_QUERY, const_cast<wchar_t*>(APPLE_LOCATION.c_str()),
                                    static_cast<DWORD>((APPLE_LOCATION.size() + 1) * sizeof(wchar_t)), &answer, 1,
                                    &returned, nullptr);
    DWORD staleError = GetLastError();
    CloseHandle(stale);
    EXPECT_FALSE(answered) << "a removed device answered";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), staleError);
    TESTBUS_STATUS status = {};
    ASSERT_TRUE(BusStatus(status)) << "the drivers' process did not survive it\n" << Diagnostics();

    SKIP_WITHOUT_TVXCTL();
    ToolRun run = Tvxctl(L"on " + APPLE_LOCATION);
    EXPECT_EQ(1u, run.exitCode) << Describe(run);
    EXPECT_EQ(
        "tvxctl: Port_#0003.Hub_#0001: no control device: the driver serves no device here "
        "(is it installed?)\r\n",
        run.err);

    secondApple = Plug(0x05AC, 0x12AB, 5);
    ASSERT_NE(NONE, secondApple);
    ASSERT_TRUE(WaitFor([] { return OpenError(0) == 0; })) << "no \\\\.\\TVXIPC0 again\n" << Diagnostics();
    auto sent = PacketsDuring(secondApple, [] {
        ToolRun on = Tvxctl(L"on " + SECOND_APPLE_LOCATION);
        EXPECT_EQ(0u, on.exitCode) << Describe(on);
        EXPECT_EQ("Port_#0005.Hub_#0001: charging on (TVXIPC0)\r\n", on.out) << Describe(on);
    });
    EXPECT_EQ(std::vector<std::string>{Hex(CHARGING_ON)}, Hex(sent)) << Diagnostics();
}

}  // namespace winekernel

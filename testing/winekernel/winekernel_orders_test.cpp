// Charging orders given with tvxctl.exe and straight to the filter's control device.
#include "winekernel_support.h"

namespace winekernel {

TEST_F(WineKernel, ChargingOnAndOffReachTheAppleChildExactlyOnce) {
    SKIP_WITHOUT_TVXCTL();
    std::vector<Packet> toOther;
    auto sent = PacketsDuring(apple, [&] {
        toOther = PacketsDuring(other, [] {
            ToolRun run = Tvxctl(L"on " + APPLE_LOCATION);
            EXPECT_EQ(0u, run.exitCode) << Describe(run);
            EXPECT_EQ("Port_#0003.Hub_#0001: charging on (TVXIPC0)\r\n", run.out) << Describe(run);
        });
    });
    EXPECT_EQ(std::vector<std::string>{Hex(CHARGING_ON)}, Hex(sent)) << Diagnostics();
    EXPECT_EQ(std::vector<std::string>{}, Hex(toOther));

    sent = PacketsDuring(apple, [] {
        ToolRun run = Tvxctl(L"off " + APPLE_LOCATION);
        EXPECT_EQ(0u, run.exitCode) << Describe(run);
        EXPECT_EQ("Port_#0003.Hub_#0001: charging off (TVXIPC0)\r\n", run.out) << Describe(run);
    });
    EXPECT_EQ(std::vector<std::string>{Hex(CHARGING_OFF)}, Hex(sent)) << Diagnostics();
}

TEST_F(WineKernel, AWrongLocationFailsWithTvxctlsErrorAndSendsNothing) {
    SKIP_WITHOUT_TVXCTL();
    std::vector<Packet> toOther;
    auto sent = PacketsDuring(apple, [&] {
        toOther = PacketsDuring(other, [] {
            ToolRun run = Tvxctl(L"on Port_#0009.Hub_#0001");
            EXPECT_EQ(1u, run.exitCode) << Describe(run);
            EXPECT_EQ("", run.out);
            EXPECT_EQ("tvxctl: Port_#0009.Hub_#0001: no such device: no control device serves this location\r\n",
                      run.err);
        });
    });
    EXPECT_EQ(std::vector<std::string>{}, Hex(sent));
    EXPECT_EQ(std::vector<std::string>{}, Hex(toOther));

    // The refusal a Win32 caller sees, and the status behind it.
    DWORD error = 0;
    LONG ntStatus = 0;
    sent = PacketsDuring(
        apple, [&] { EXPECT_FALSE(Order(0, IOCTL_TVXIPC_CHARGING_ON, L"Port_#0009.Hub_#0001", error, ntStatus)); });
    EXPECT_EQ(ERROR_STATUS_INVALID_ADDRESS, error);
    EXPECT_EQ(NT_STATUS_INVALID_ADDRESS, ntStatus) << std::hex << ntStatus;
    EXPECT_EQ(std::vector<std::string>{}, Hex(sent));
}

}  // namespace winekernel

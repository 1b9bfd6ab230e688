// URBs a child's own driver sends down its stack, through the filter: the data watch sees a bulk
// transfer, and a foreign charging request is followed by the filter's own.
#include "winekernel_support.h"

namespace winekernel {

TEST_F(WineKernel, WatchQueryAnswersOneAfterABulkTransferThroughTheChildsStack) {
    SKIP_WITHOUT_TVXCTL();
    ToolRun run = Tvxctl(L"watch start " + APPLE_LOCATION);
    EXPECT_EQ(0u, run.exitCode) << Describe(run);
    EXPECT_EQ("Port_#0003.Hub_#0001: watch started (TVXIPC0)\r\n", run.out);
    run = Tvxctl(L"watch query " + APPLE_LOCATION);
    EXPECT_EQ("Port_#0003.Hub_#0001: no data transferred (TVXIPC0)\r\n", run.out) << Describe(run);

    run = Tvxctl(L"watch start " + APPLE_LOCATION);
    EXPECT_EQ(0u, run.exitCode) << Describe(run);
    TESTBUS_SEND send = {apple, TESTBUS_URB_BULK_OUT};
    LONG answer = -1;
    ASSERT_TRUE(BusControl(IOCTL_TESTBUS_SEND_URB, &send, sizeof(send), &answer, sizeof(answer))) << Diagnostics();
    EXPECT_EQ(0, answer) << std::hex << answer;
    TESTBUS_CHILD child = {};
    ASSERT_TRUE(Child(apple, child));
    EXPECT_EQ(1, child.bulkTransfers) << "the transfer did not reach the PDO";

    run = Tvxctl(L"watch query " + APPLE_LOCATION);
    EXPECT_EQ(0u, run.exitCode) << Describe(run);
    EXPECT_EQ("Port_#0003.Hub_#0001: data transferred since the watch started (TVXIPC0)\r\n", run.out)
        << Describe(run) << Diagnostics();
}

TEST_F(WineKernel, AForeignChargingRequestIsFollowedByOneOnFormOnlyWhileChargingIsOn) {
    SKIP_WITHOUT_TVXCTL();
    TESTBUS_SEND send = {apple, TESTBUS_URB_VENDOR_CONTROL};
    LONG answer = -1;
    ASSERT_EQ(0u, Tvxctl(L"on " + APPLE_LOCATION).exitCode);
    auto sent = PacketsUntil(apple, 2, [&] {
        EXPECT_TRUE(BusControl(IOCTL_TESTBUS_SEND_URB, &send, sizeof(send), &answer, sizeof(answer)));
    });
    EXPECT_EQ(0, answer);
    EXPECT_EQ((std::vector<std::string>{Hex(FOREIGN_CHARGING_REQUEST), Hex(CHARGING_ON)}), Hex(sent)) << Diagnostics();

    ASSERT_EQ(0u, Tvxctl(L"off " + APPLE_LOCATION).exitCode);
    sent = PacketsUntil(apple, 2, [&] {
        EXPECT_TRUE(BusControl(IOCTL_TESTBUS_SEND_URB, &send, sizeof(send), &answer, sizeof(answer)));
    });
    EXPECT_EQ(std::vector<std::string>{Hex(FOREIGN_CHARGING_REQUEST)}, Hex(sent)) << Diagnostics();
}

}  // namespace winekernel

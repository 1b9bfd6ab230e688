// The filter loaded above the bus, and the children it filters as they arrive: the suite's first
// tests, which plug the children the later ones use.
#include "winekernel_support.h"

namespace winekernel {

TEST_F(WineKernel, TheFilterLoadsAndSitsRightAboveTheBusFdo) {
    TESTBUS_STATUS status = {};
    ASSERT_TRUE(BusStatus(status)) << Diagnostics();
    EXPECT_EQ(0, status.filterLoadStatus) << std::hex << status.filterLoadStatus;
    EXPECT_EQ(4, status.importsAdapted)
        << "IoGetDeviceProperty, DbgPrint, RtlAssert and IoValidateDeviceIoControlAccess";
    EXPECT_EQ(0, status.filterAddStatus) << std::hex << status.filterAddStatus;
    EXPECT_STREQ(L"\\Driver\\Tarvex", status.aboveFdo);
    EXPECT_STREQ(L"\\Driver\\Tarvex", status.stackTop);
    CollectDebugText();
    EXPECT_NE(std::string::npos, debugText.find("OrvantaDriver> VA_AddDevice\n"
                                                "OrvantaDriver> VA_AddDevice, 1st IoCreateDevice succeed\n"))
        << Diagnostics();
}

TEST_F(WineKernel, AnAppleChildGetsAChildFilterAndTvxipc0ANonAppleChildGetsNone) {
    other = Plug(0x12D1, 0x1001, 4);
    apple = Plug(0x05AC, 0x12A8, 3);
    ASSERT_NE(NONE, other);
    ASSERT_NE(NONE, apple);
    // The control device is made after the start below the filter has completed.
    ASSERT_TRUE(WaitFor([] { return OpenError(0) == 0; })) << "no \\\\.\\TVXIPC0\n" << Diagnostics();
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), OpenError(1)) << "a second control device exists";

    for (ULONG slot : {apple, other}) {
        TESTBUS_CHILD child = {};
        ASSERT_TRUE(Child(slot, child));
        SCOPED_TRACE(Narrow(child.instanceId));
        EXPECT_STREQ(L"\\Driver\\Tarvex", child.aboveDriver) << "no child filter right above the PDO";
        EXPECT_EQ(std::vector<std::string>{Hex(DESCRIPTOR_FETCH)}, Hex(PacketsOf(child)));
    }

    // TVXIPC0 is the Apple child's: it answers to that location and refuses the other one's.
    DWORD error = 0;
    LONG ntStatus = 0;
    EXPECT_TRUE(Order(0, IOCTL_TVXIPC_URB_WATCH_QUERY, APPLE_LOCATION, error, ntStatus)) << "error " << error;
    EXPECT_FALSE(Order(0, IOCTL_TVXIPC_URB_WATCH_QUERY, OTHER_LOCATION, error, ntStatus));

    // The client lists the Apple child with the location the filter knows it by.
    SKIP_WITHOUT_TVXCTL();
    ToolRun list = Tvxctl(L"list");
    EXPECT_EQ(0u, list.exitCode) << Describe(list);
    EXPECT_EQ(
        "LOCATION\tCONTROL DEVICE\tHARDWARE ID\tINSTANCE ID\r\n"
        "Port_#0003.Hub_#0001\tTVXIPC0\tUSB\\VID_05AC&PID_12A8&REV_0100\tUSB\\VID_05AC&PID_12A8\\TVXTEST2\r\n",
        list.out)
        << Describe(list);
}

// Known Wine gaps the bus adapts (see winegaps.cpp). These checks fail once Wine behaves as
// Windows does, which says the adaptation can go.
TEST_F(WineKernel, KnownWineGapsTheBusAdaptsAreStillThere) {
    TESTBUS_STATUS status = {};
    ASSERT_TRUE(BusStatus(status)) << Diagnostics();
    EXPECT_GT(status.wineUpperCaseGuids, 0)
        << "known gap: Wine reports class GUIDs in upper case where Windows uses lower case";
    EXPECT_GT(status.wineWin32Statuses, 0)
        << "known gap: Wine's IoGetDeviceProperty returns Win32 error numbers as statuses";
    TESTBUS_CHILD child = {};
    ASSERT_TRUE(Child(apple, child));
    EXPECT_EQ(13, child.wineLocationStatus)
        << "known gap: Wine never writes LocationInformation and answers a query for it with 13";
}

}  // namespace winekernel

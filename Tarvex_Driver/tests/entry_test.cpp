// Driver entry and AddDevice: which stacks get a filter, what the new filter holds, and the
// exact traces.
#include "scenario.h"

namespace {

class DriverEntryTest : public KsimTest {};

TEST_F(DriverEntryTest, InstallsOneDispatchRoutineForAll28MajorFunctionsAndClearsTheNumberTable) {
    for (volatile LONG& entry : ipcSlotTable) {
        entry = 1;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = KsimLoadDriver(DriverEntry, L"\\Driver\\Tarvex", &status);
    ASSERT_NE(nullptr, driver);
    EXPECT_STATUS(STATUS_SUCCESS, status);

    static_assert(IRP_MJ_MAXIMUM_FUNCTION + 1 == 28, "the table has 28 entries");
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_EQ(reinterpret_cast<void*>(VA_DispatchIrp), reinterpret_cast<void*>(driver->MajorFunction[major]))
            << "major function " << major;
    }
    EXPECT_EQ(reinterpret_cast<void*>(VA_AddDevice), reinterpret_cast<void*>(driver->DriverExtension->AddDevice));
    EXPECT_EQ(reinterpret_cast<void*>(VA_Unload), reinterpret_cast<void*>(driver->DriverUnload));
    for (LONG n = 0; n < TVXIPC_MAX_DEVICES; ++n) {
        EXPECT_EQ(0, ipcSlotTable[n]) << "number " << n;
    }
    KsimUnloadDriver(driver);
}

class AddDeviceTest : public TarvexTest {
protected:
    // A PDO with the function driver already on it, as Plug and Play has it when it calls the
    // upper filter's AddDevice.
    PDEVICE_OBJECT PdoWithFunctionDriver(const KsimUsbDevice& device) {
        PDEVICE_OBJECT pdo = KsimCreateUsbPdo(device);
        fdo = KsimAttachFunctionDriver(pdo, device.functionDriver.c_str());
        return pdo;
    }
    PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(AddDeviceTest, PciPdoInAnyLetterCaseGetsNoFilterAndSucceeds) {
    for (const wchar_t* name : {L"\\Driver\\pci", L"\\Driver\\PCI", L"\\Driver\\Pci"}) {
        KsimUsbDevice controller = RootHub();
        controller.busDriver = name;
        PDEVICE_OBJECT pdo = PdoWithFunctionDriver(controller);
        KsimClearDbgPrints();
        EXPECT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
        EXPECT_EQ(nullptr, FilterOn(pdo));
        EXPECT_EQ(std::vector<std::string>{"OrvantaDriver> VA_AddDevice\n"}, KsimDbgPrints());
    }
    EXPECT_TRUE(KsimDevicesOf(driver).empty());
}

TEST_F(AddDeviceTest, StackAlreadyHoldingATarvexDeviceGetsNoSecondFilter) {
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(ApplePhone());
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
    ASSERT_EQ(1u, FiltersOn(pdo).size());
    // Another device on top: the walk must look past the top of the stack.
    KsimAttachFunctionDriver(pdo, L"\\Driver\\KsimUpper");

    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
    EXPECT_EQ(1u, FiltersOn(pdo).size());
    EXPECT_EQ(1u, KsimDevicesOf(driver).size());
}

TEST_F(AddDeviceTest, AppleFirstHardwareIdInLowerCaseIsMarkedWithExactTraces) {
    KsimUsbDevice phone = ApplePhone(L"Port_#0003.Hub_#0002");
    phone.hardwareIds = {L"usb\\vid_05ac&pid_12a8&rev_1201", L"USB\\VID_05AC&PID_12A8"};
    phone.deviceType = FILE_DEVICE_BUS_EXTENDER;
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(phone);
    KsimClearDbgPrints();

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
    PDEVICE_OBJECT filter = FilterOn(pdo);
    ASSERT_NE(nullptr, filter);
    DEVICE_EXTENSION* ext = Ext(filter);

    const std::vector<std::string> expected = {
        "OrvantaDriver> VA_AddDevice\n",
        "OrvantaDriver> VA_AddDevice, 1st IoCreateDevice succeed\n",
        "OrvantaDriver> physicalDevObj: 0x" + Low32(pdo) + "\n",
        "OrvantaDriver> topDevObj: 0x" + Low32(fdo) + "\n",
        "OrvantaDriver> DevicePropertyHardwareID: USB\\VID_05AC&PID_12A8&REV_1201\n",
        "OrvantaDriver> physicalDevObj: type: 0x2A\n",
        "OrvantaDriver> This is a Apple device!\n",
    };
    EXPECT_EQ(expected, KsimDbgPrints());

    EXPECT_EQ(DEVICE_EXTENSION_SIGNATURE, ext->signature);
    EXPECT_EQ(STATE_ADDED, ext->state);
    EXPECT_EQ(filter, ext->filterDevObj);
    EXPECT_EQ(pdo, ext->physicalDevObj);
    EXPECT_EQ(fdo, ext->topDevObj);
    EXPECT_EQ(nullptr, ext->controlDevObj);
    EXPECT_EQ(IPC_SLOT_ADDDEVICE_FILTER, ext->ipcSlot);
    EXPECT_EQ(0, ext->pendingActionCount);
    EXPECT_TRUE(ext->bIsAppleHardwareId);
    EXPECT_FALSE(ext->bIsAppleDevice);
    EXPECT_TRUE(ext->bAttachToChildren);
    EXPECT_EQ(std::wstring(L"Port_#0003.Hub_#0002"), ext->location);
    // The record keeps the list as the bus driver reported it; only the scratch copy is uppercased.
    EXPECT_EQ(std::wstring(L"usb\\vid_05ac&pid_12a8&rev_1201"), ext->hardwareId);
    EXPECT_EQ(std::wstring(L"USB\\VID_05AC&PID_12A8"), ext->hardwareId + wcslen(ext->hardwareId) + 1);
    const std::vector<std::string> io = {
        "IoCreateDevice " + FILTER_LABEL,
        "IoAttachDeviceToDeviceStack " + FILTER_LABEL + " -> <unnamed> \\Driver\\WinUSB",
    };
    EXPECT_EQ(io, IoLogWith(FILTER_LABEL));
}

TEST_F(AddDeviceTest, AppleIdOnlyInTheSecondStringIsNotMarked) {
    KsimUsbDevice device = Keyboard();
    device.hardwareIds = {L"USB\\VID_1234&PID_0001", L"USB\\VID_05AC&PID_12A8"};
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(device);

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
    ASSERT_NE(nullptr, FilterExt(pdo));
    EXPECT_FALSE(FilterExt(pdo)->bIsAppleHardwareId);
    for (const std::string& line : KsimDbgPrints()) {
        EXPECT_EQ(std::string::npos, line.find("Apple")) << line;
    }
}

TEST_F(AddDeviceTest, HardwareIdListLongerThan256BytesLeavesTheFilterUnmarkedWithEmptyHardwareId) {
    KsimUsbDevice phone = ApplePhone(L"Port_#0001.Hub_#0003");
    phone.hardwareIds = {L"USB\\VID_05AC&PID_12A8&REV_1201&A_VERY_LONG_SUFFIX_TO_FILL_THE_LIST",
                         L"USB\\VID_05AC&PID_12A8&REV_1201&ANOTHER_LONG_SUFFIX_FOR_THE_LIST",
                         L"USB\\VID_05AC&PID_12A8&AND_A_THIRD_ONE_THAT_GOES_PAST_256_BYTES"};
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(phone);

    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
    DEVICE_EXTENSION* ext = FilterExt(pdo);
    ASSERT_NE(nullptr, ext);
    EXPECT_FALSE(ext->bIsAppleHardwareId);
    EXPECT_EQ(L'\0', ext->hardwareId[0]);
    EXPECT_EQ(std::wstring(L"Port_#0001.Hub_#0003"), ext->location);
}

TEST_F(AddDeviceTest, FilterTakesTheBufferingAndPowerFlagsOfTheDeviceBelow) {
    struct Case {
        ULONG below;
        ULONG expected;
    };
    const Case cases[] = {
        {DO_BUFFERED_IO | DO_POWER_PAGABLE, DO_BUFFERED_IO | DO_POWER_PAGABLE},
        {DO_DIRECT_IO | DO_POWER_INRUSH, DO_DIRECT_IO | DO_POWER_INRUSH},
        {DO_EXCLUSIVE | DO_BUS_ENUMERATED_DEVICE, 0},
    };
    for (const Case& c : cases) {
        PDEVICE_OBJECT pdo = PdoWithFunctionDriver(Keyboard());
        fdo->Flags = c.below;
        ASSERT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
        ULONG mask = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH | DO_DEVICE_INITIALIZING |
                     DO_EXCLUSIVE | DO_BUS_ENUMERATED_DEVICE;
        EXPECT_EQ(c.expected, FilterOn(pdo)->Flags & mask) << "flags below 0x" << std::hex << c.below;
    }
}

TEST_F(AddDeviceTest, CreationFailureReturnsItsStatusWithATraceAndNoAssertion) {
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(ApplePhone());
    KsimInjectFault(KsimFault::IoCreateDevice, 1, 1, STATUS_INSUFFICIENT_RESOURCES);
    KsimClearDbgPrints();

    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, KsimPnpAddDevice(driver, pdo));
    EXPECT_TRUE(KsimDevicesOf(driver).empty());
    EXPECT_EQ((std::vector<std::string>{"OrvantaDriver> VA_AddDevice\n",
                                        "OrvantaDriver> VA_AddDevice: IoCreateDevice failed: 0xC000009A\n"}),
              KsimDbgPrints());
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(AddDeviceTest, AttachFailureDeletesTheDeviceAndReturnsUnsuccessful) {
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(ApplePhone());
    KsimInjectFault(KsimFault::IoAttachDeviceToDeviceStack);
    KsimClearDbgPrints();

    EXPECT_STATUS(STATUS_UNSUCCESSFUL, KsimPnpAddDevice(driver, pdo));
    EXPECT_TRUE(KsimDevicesOf(driver).empty());
    EXPECT_EQ((std::vector<std::string>{"IoCreateDevice " + FILTER_LABEL, "IoDeleteDevice " + FILTER_LABEL}),
              IoLogWith(FILTER_LABEL));
    std::vector<std::string> prints = KsimDbgPrints();
    ASSERT_EQ(4u, prints.size());
    EXPECT_EQ("OrvantaDriver> topDevObj: 0x0\n", prints[3]);
    EXPECT_TRUE(KsimAsserts().empty());
}

// A bus driver may fill the whole buffer without a terminator; the record must stay a string.
TEST_F(AddDeviceTest, LocationThatFillsTheFieldWithoutTerminatorIsCutToStayTerminated) {
    PDEVICE_OBJECT pdo = PdoWithFunctionDriver(ApplePhone());
    std::vector<wchar_t> unterminated(LOCATION_UNITS, L'P');
    KsimSetProperty(pdo, DevicePropertyLocationInformation, unterminated.data(),
                    static_cast<ULONG>(unterminated.size() * sizeof(wchar_t)));

    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpAddDevice(driver, pdo));
    DEVICE_EXTENSION* ext = FilterExt(pdo);
    ASSERT_NE(nullptr, ext);
    EXPECT_EQ(LOCATION_UNITS - 1, wcslen(ext->location));
}

}  // namespace

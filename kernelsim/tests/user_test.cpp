#include "test_drivers.h"

using namespace ksimtest;

namespace {

constexpr ULONG IOCTL_TEST_BUFFERED = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A control device: records what the I/O manager gives it and answers as told.
struct ControlExt {
    std::vector<UCHAR>* majors;
    ULONG systemBytes;  // size of the system buffer: what is left of its page
    UCHAR input[64];
    ULONG inputBytes;
    ULONG overread;  // bytes read past the input, as a routine that trusts no length would
    const char* reply;
    ULONG replyBytes;
    ULONG_PTR information;
    NTSTATUS status;
    NTSTATUS createStatus;
};

NTSTATUS NTAPI ControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<ControlExt*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ext->majors->push_back(stack->MajorFunction);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_CREATE) status = ext->createStatus;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        ext->systemBytes = static_cast<ULONG>(4096 - (reinterpret_cast<uintptr_t>(system) & 4095));
        ext->inputBytes = stack->Parameters.DeviceIoControl.InputBufferLength;
        std::memcpy(ext->input, system, ext->inputBytes + ext->overread);
        if (ext->reply) std::memcpy(system, ext->reply, ext->replyBytes);
        irp->IoStatus.Information = ext->information;
        status = ext->status;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI ControlEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = ControlDispatch;
    return STATUS_SUCCESS;
}

class UserTest : public MisuseTest {
protected:
    void SetUp() override {
        MisuseTest::SetUp();
        driver = KsimLoadDriver(ControlEntry, L"\\Driver\\Control");
        control = MakeDevice<ControlExt>(driver, L"\\Device\\TestControl0");
        Ext()->majors = &majors;
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, L"\\Device\\TestControl0");
        RtlInitUnicodeString(&link, L"\\DosDevices\\TestControl0");
        IoCreateSymbolicLink(&link, &name);
    }
    void TearDown() override {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, L"\\DosDevices\\TestControl0");
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(control);
        MisuseTest::TearDown();
    }
    ControlExt* Ext() { return static_cast<ControlExt*>(control->DeviceExtension); }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT control = nullptr;
    std::vector<UCHAR> majors;
};

TEST_F(UserTest, BufferedControlUsesASystemBufferOfTheLargerLengthAndCopiesBackInformationBytes) {
    KsimHandle handle = KsimUserOpen(L"\\\\.\\TestControl0");
    ASSERT_NE(nullptr, handle);
    Ext()->reply = "xyz!";
    Ext()->replyBytes = 4;
    Ext()->information = 3;
    const UCHAR in[5] = {1, 2, 3, 4, 5};
    UCHAR out[8];
    std::memset(out, 0xCC, sizeof out);
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_SUCCESS, KsimUserIoctl(handle, IOCTL_TEST_BUFFERED, in, sizeof in, out, sizeof out, &information));
    EXPECT_EQ(8u, Ext()->systemBytes);
    ASSERT_EQ(5u, Ext()->inputBytes);
    EXPECT_EQ(0, std::memcmp(in, Ext()->input, 5));
    EXPECT_EQ(3u, information);
    EXPECT_EQ(0, std::memcmp(out, "xyz\xCC", 4)) << "only Information bytes come back";

    // An error status returns no data; without an output buffer nothing is copied either.
    Ext()->status = STATUS_INVALID_ADDRESS;
    std::memset(out, 0xCC, sizeof out);
    EXPECT_EQ(STATUS_INVALID_ADDRESS, KsimUserIoctl(handle, IOCTL_TEST_BUFFERED, in, sizeof in, out, sizeof out));
    EXPECT_EQ(0xCC, out[0]);
    Ext()->status = STATUS_SUCCESS;
    Ext()->information = 0;
    EXPECT_EQ(STATUS_SUCCESS, KsimUserIoctl(handle, IOCTL_TEST_BUFFERED, in, sizeof in, nullptr, 0));
    EXPECT_EQ(5u, Ext()->systemBytes);

    EXPECT_EQ(STATUS_SUCCESS, KsimUserClose(handle));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL,
                                  IRP_MJ_CLEANUP, IRP_MJ_CLOSE}),
              majors);
}

// The system buffer ends flush against a no-access page, as special pool places it: a read or a
// write past its end stops at the instruction that makes it.
TEST_F(UserTest, InformationBeyondTheOutputBufferAndAccessPastTheSystemBufferStop) {
    KsimHandle handle = KsimUserOpen(L"\\DosDevices\\TestControl0");
    ASSERT_NE(nullptr, handle);
    Ext()->information = 2;
    UCHAR in[2] = {0};
    UCHAR out[1] = {0};
    KsimUserIoctl(handle, IOCTL_TEST_BUFFERED, in, 1, out, 1);
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_DRIVER_VERIFIER_IOMANAGER_VIOLATION}, TakeStopCodes());

    Ext()->information = 0;
    Ext()->reply = "too long";
    Ext()->replyBytes = 8;
    KsimUserIoctl(handle, IOCTL_TEST_BUFFERED, in, 1, out, 1);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION, stops[0].code);
    EXPECT_EQ(1u, stops[0].p[1]) << "a write";

    Ext()->reply = nullptr;
    Ext()->overread = 1;
    KsimUserIoctl(handle, IOCTL_TEST_BUFFERED, in, 2, nullptr, 0);
    stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION, stops[0].code);
    EXPECT_EQ(0u, stops[0].p[1]) << "a read";
    KsimUserClose(handle);
}

TEST_F(UserTest, OpeningAnUnknownNameOrAFailedCreateGivesNoHandle) {
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\\\.\\TestControl9", &status));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
    Ext()->createStatus = STATUS_DELETE_PENDING;
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\\\.\\TestControl0", &status));
    EXPECT_EQ(STATUS_DELETE_PENDING, status);
    EXPECT_EQ(std::vector<UCHAR>{IRP_MJ_CREATE}, majors);
}

TEST_F(UserTest, AHandleLeftOpenIsReportedAtTheEnd) {
    KsimHandle handle = KsimUserOpen(L"\\??\\TestControl0");
    ASSERT_NE(nullptr, handle);
    std::vector<std::string> problems = KsimCheckEnd();
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ("handle leak: a handle on \\Device\\TestControl0 was never closed", problems[0]);
    KsimUserClose(handle);
}

}  // namespace

namespace {

extern "C" NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
extern "C" NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
extern "C" NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                                       PSECURITY_DESCRIPTOR SecurityDescriptor);

// Gives the device a DACL that lets only the interactive user (S-1-5-4) read and write.
void AdmitOnlyTheInteractiveUser(PDEVICE_OBJECT device) {
    const UCHAR interactive[12] = {1, 1, 0, 0, 0, 0, 0, 5, 4, 0, 0, 0};
    alignas(8) UCHAR descriptor[64] = {};
    alignas(8) UCHAR acl[64] = {};
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(reinterpret_cast<PACL>(acl), sizeof(ACL) + 8 + 12, ACL_REVISION));
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION,
                                                     GENERIC_READ | GENERIC_WRITE, const_cast<UCHAR*>(interactive)));
    EXPECT_EQ(STATUS_ALLOTTED_SPACE_EXCEEDED, RtlAddAccessAllowedAce(reinterpret_cast<PACL>(acl), ACL_REVISION,
                                                                     GENERIC_ALL, const_cast<UCHAR*>(interactive)));
    ASSERT_EQ(STATUS_SUCCESS, RtlSetDaclSecurityDescriptor(descriptor, TRUE, reinterpret_cast<PACL>(acl), FALSE));
    ASSERT_EQ(STATUS_SUCCESS, ObSetSecurityObjectByPointer(device, DACL_SECURITY_INFORMATION, descriptor));
}

TEST_F(KsimTest, AnOpenIsCheckedAgainstTheDaclForTheCallerAndNamesBelowOnlyWithSecureOpen) {
    PDRIVER_OBJECT driver = KsimLoadDriver(LowerEntry, L"\\Driver\\Secured");
    PDEVICE_OBJECT open = MakeDevice<LowerExt>(driver, L"\\Device\\Open");
    PDEVICE_OBJECT secured = MakeDevice<LowerExt>(driver, L"\\Device\\Secured");
    AdmitOnlyTheInteractiveUser(open);
    AdmitOnlyTheInteractiveUser(secured);
    secured->Characteristics |= FILE_DEVICE_SECURE_OPEN;
    bool hasDacl = false;
    EXPECT_EQ((std::vector<std::pair<std::string, ACCESS_MASK>>{{KSIM_SID_INTERACTIVE, GENERIC_READ | GENERIC_WRITE}}),
              KsimDeviceDacl(secured, &hasDacl));
    EXPECT_TRUE(hasDacl);

    KsimSetCaller({KSIM_SID_SERVICE, KSIM_SID_EVERYONE});
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\Device\\Secured", &status));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\Device\\Secured\\below", &status));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\Device\\Open", &status));
    KsimHandle below = KsimUserOpen(L"\\Device\\Open\\below", &status);
    ASSERT_NE(nullptr, below) << "without FILE_DEVICE_SECURE_OPEN a name below is the driver's to check";
    EXPECT_EQ(L"\\below", std::wstring(KsimUserFileObject(below)->FileName.Buffer,
                                       KsimUserFileObject(below)->FileName.Length / sizeof(WCHAR)));
    KsimUserClose(below);
    EXPECT_EQ(0, static_cast<LowerExt*>(secured->DeviceExtension)->calls) << "a refused open sends nothing";

    KsimSetCaller({KSIM_SID_INTERACTIVE, KSIM_SID_EVERYONE});
    KsimHandle handle = KsimUserOpen(L"\\Device\\Secured\\below", &status);
    ASSERT_NE(nullptr, handle);
    KsimUserClose(handle);
    IoDeleteDevice(open);
    IoDeleteDevice(secured);
}

// Orders of a device that asks the I/O manager whether the handle may write, as a driver
// should for a FILE_ANY_ACCESS code that changes something.
NTSTATUS NTAPI WriteCheckingDispatch(PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS status = STATUS_SUCCESS;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ++static_cast<LowerExt*>(device->DeviceExtension)->calls;
        status = IoValidateDeviceIoControlAccess(irp, FILE_WRITE_ACCESS);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TEST_F(KsimTest, AHandleKeepsTheAccessItsIntegrityAndAppContainerAllowAndOrdersAreCheckedAgainstIt) {
    PDRIVER_OBJECT careless = KsimLoadDriver(LowerEntry, L"\\Driver\\Careless");
    PDEVICE_OBJECT broken = MakeDevice<LowerExt>(careless, L"\\Device\\Careless");
    PDRIVER_OBJECT checking = KsimLoadDriver(LowerEntry, L"\\Driver\\Checking");
    checking->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WriteCheckingDispatch;
    PDEVICE_OBJECT sound = MakeDevice<LowerExt>(checking, L"\\Device\\Checking");
    AdmitOnlyTheInteractiveUser(broken);
    AdmitOnlyTheInteractiveUser(sound);
    KsimSetCaller({KSIM_SID_INTERACTIVE, KSIM_SID_EVERYONE});
    const ULONG anyAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    const ULONG writeAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);

    // A Low-integrity process of the user may read the Medium-labelled device, never write it.
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\Device\\Checking", &status, GENERIC_READ | GENERIC_WRITE, KsimIntegrity::Low));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);
    KsimHandle reader = KsimUserOpen(L"\\Device\\Checking", &status, GENERIC_READ, KsimIntegrity::Low);
    ASSERT_NE(nullptr, reader);
    EXPECT_TRUE(KsimUserGrantedAccess(reader) & FILE_READ_DATA);
    EXPECT_FALSE(KsimUserGrantedAccess(reader) & FILE_WRITE_DATA);
    // An AppContainer is let in only by a DACL naming application packages.
    EXPECT_EQ(nullptr, KsimUserOpen(L"\\Device\\Checking", &status, GENERIC_READ, KsimIntegrity::Low, true));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status);

    // The I/O manager refuses a code that names write access on a read-only handle; a
    // FILE_ANY_ACCESS code reaches the driver, which must ask itself.
    int callsBefore = static_cast<LowerExt*>(sound->DeviceExtension)->calls;
    EXPECT_EQ(STATUS_ACCESS_DENIED, KsimUserIoctl(reader, writeAccess, nullptr, 0, nullptr, 0));
    EXPECT_EQ(callsBefore, static_cast<LowerExt*>(sound->DeviceExtension)->calls) << "refused before the driver";
    EXPECT_EQ(STATUS_ACCESS_DENIED, KsimUserIoctl(reader, anyAccess, nullptr, 0, nullptr, 0));
    KsimHandle writer = KsimUserOpen(L"\\Device\\Checking", &status);
    ASSERT_NE(nullptr, writer);
    EXPECT_EQ(STATUS_SUCCESS, KsimUserIoctl(writer, anyAccess, nullptr, 0, nullptr, 0));
    EXPECT_EQ(STATUS_SUCCESS, KsimUserIoctl(writer, writeAccess, nullptr, 0, nullptr, 0));

    // The careless driver takes the same order from the reader.
    KsimHandle carelessReader = KsimUserOpen(L"\\Device\\Careless", &status, GENERIC_READ, KsimIntegrity::Low);
    ASSERT_NE(nullptr, carelessReader);
    EXPECT_EQ(STATUS_SUCCESS, KsimUserIoctl(carelessReader, anyAccess, nullptr, 0, nullptr, 0));

    KsimUserClose(carelessReader);
    KsimUserClose(writer);
    KsimUserClose(reader);
    IoDeleteDevice(broken);
    IoDeleteDevice(sound);
}

}  // namespace

#include "test_drivers.h"

using namespace ksimtest;

namespace {

using RtlTest = KsimTest;

TEST_F(RtlTest, DbgPrintFormatsAsTheKernelDoesOneEntryPerCall) {
    void* pointer = reinterpret_cast<void*>(static_cast<uintptr_t>(0xFFFFA80012345678ull));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Driver\\Tarvex");
    DbgPrint("OrvantaDriver> DevicePropertyHardwareID: %S\n", L"USB\\VID_05AC&PID_12A8");
    DbgPrint("OrvantaDriver> topDevObj: 0x%X\n", pointer);
    DbgPrint("%p|%wZ|%d|%u|%08lx|%-4s|%c|%I64X|%%|%ws|%s\n", pointer, &name, -5, 7u, 0xBEEFul, "ab", 'z',
             0x123456789ABCull, L"wide", static_cast<const char*>(nullptr));
    std::vector<std::string> lines = KsimDbgPrints();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("OrvantaDriver> DevicePropertyHardwareID: USB\\VID_05AC&PID_12A8\n", lines[0]);
    EXPECT_EQ("OrvantaDriver> topDevObj: 0x12345678\n", lines[1]) << "%X takes the pointer's low 32 bits";
    EXPECT_EQ("FFFFA80012345678|\\Driver\\Tarvex|-5|7|0000beef|ab  |z|123456789ABC|%|wide|(null)\n", lines[2]);
    EXPECT_EQ(lines[0], KsimFormat("OrvantaDriver> DevicePropertyHardwareID: %S\n", L"USB\\VID_05AC&PID_12A8"));
}

TEST_F(RtlTest, RtlAssertIsRecordedWithExpressionModuleLineAndMessage) {
    RtlAssert(const_cast<char*>("devExt->pendingActionCount >= 0"), const_cast<char*>("/src/Tarvex_Driver/util.cpp"),
              42, nullptr);
    RtlAssert(const_cast<char*>("devExt"), const_cast<char*>("C:\\src\\power.cpp"), 7, const_cast<char*>("context"));
    std::vector<KsimAssert> asserts = KsimAsserts();
    ASSERT_EQ(2u, asserts.size());
    EXPECT_EQ("devExt->pendingActionCount >= 0", asserts[0].expression);
    EXPECT_EQ("util", asserts[0].module);
    EXPECT_EQ(42u, asserts[0].line);
    EXPECT_EQ("", asserts[0].message);
    EXPECT_EQ("power", asserts[1].module);
    EXPECT_EQ("context", asserts[1].message);
}

// A routine that reports a failed allocation as a broken invariant, as a careless driver does.
bool AllocatesOrAsserts() {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, 0x74736554);
    if (!block) {
        RtlAssert(const_cast<char*>("block"), const_cast<char*>("careless.cpp"), 9, nullptr);
        return false;
    }
    ExFreePoolWithTag(block, 0x74736554);
    return true;
}

TEST_F(RtlTest, WithAssertionsBreakingAnAssertionOnAnInjectedFailureStopsAsADebuggerWould) {
    std::vector<KsimStop> stops;
    KsimSetStopHandler([&stops](const KsimStop& stop) { stops.push_back(stop); });
    KsimInjectFault(KsimFault::PoolAllocation);
    EXPECT_FALSE(AllocatesOrAsserts());
    EXPECT_TRUE(stops.empty()) << "without a debugger an assertion is only recorded";
    EXPECT_EQ(1u, KsimAsserts().size());

    KsimSetAssertionsBreak(true);
    EXPECT_TRUE(AllocatesOrAsserts());
    EXPECT_TRUE(stops.empty());
    KsimInjectFault(KsimFault::PoolAllocation);
    EXPECT_FALSE(AllocatesOrAsserts());
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_KMODE_EXCEPTION_NOT_HANDLED, stops[0].code);
    EXPECT_EQ(static_cast<ULONG_PTR>(STATUS_BREAKPOINT), stops[0].p[0]);
    EXPECT_NE(std::string::npos, stops[0].what.find("block (careless.cpp, line 9)")) << stops[0].what;
    KsimSetStopHandler(nullptr);
    KsimTakeStops();
}

TEST_F(RtlTest, UnicodeStringsCompareWithAndWithoutCase) {
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"\\Driver\\PCI");
    RtlInitUnicodeString(&b, L"\\Driver\\pci");
    RtlInitUnicodeString(&c, L"\\Driver\\pci2");
    EXPECT_EQ(22u, a.Length);
    EXPECT_EQ(24u, a.MaximumLength);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&b, &c, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&b, &c, FALSE), 0);
}

}  // namespace

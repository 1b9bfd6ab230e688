#include "test_drivers.h"

using namespace ksimtest;

namespace {

using PoolTest = KsimTest;
using PoolMisuseTest = MisuseTest;

TEST_F(PoolTest, ABlockCarriesItsTagAndIsReportedAsALeakWhileItLives) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 10, Tag("Filt"));
    ASSERT_NE(nullptr, block);
    std::vector<KsimPoolBlock> live = KsimLivePool();
    ASSERT_EQ(1u, live.size());
    EXPECT_EQ(block, live[0].address);
    EXPECT_EQ(10u, live[0].bytes);
    EXPECT_EQ("Filt", live[0].tagText);
    std::vector<std::string> problems = KsimCheckEnd();
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("10 bytes of tag 'Filt'")) << problems[0];
    ExFreePoolWithTag(block, Tag("Filt"));
    EXPECT_TRUE(KsimLivePool().empty());
    EXPECT_EQ(1u, KsimPoolCount().allocations);
    EXPECT_EQ(1u, KsimPoolCount().frees);
}

TEST_F(PoolTest, FaultInjectionFailsTheNthAllocationFromNow) {
    void* before = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Filt"));
    KsimInjectFault(KsimFault::PoolAllocation, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Filt"));
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Filt"));
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("Filt"));
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third);
    EXPECT_EQ(1u, KsimPoolCount().failures);
    ExFreePool(before);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(PoolMisuseTest, WritingOneByteBeyondABlockIsCaughtAtItsFree) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 18, Tag("Filt")));
    block[18] = 0;
    ExFreePool(block);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, stops[0].code);
    EXPECT_EQ(18u, stops[0].p[2]) << "offset of the first damaged byte";
    EXPECT_EQ(0x24u, stops[0].p[3]);
}

TEST_F(PoolMisuseTest, WritingBeforeABlockIsCaughtAtItsFree) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 4, Tag("Filt")));
    block[-1] = 0;
    ExFreePool(block);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(0x23u, stops[0].p[3]);
}

TEST_F(PoolMisuseTest, AnOverrunOfABlockStillLiveIsReportedAtTheEnd) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 4, Tag("Filt")));
    block[5] = 0;
    std::vector<std::string> problems = KsimCheckEnd();
    ASSERT_EQ(2u, problems.size());
    EXPECT_NE(std::string::npos, problems[1].find("overwritten at offset 5")) << problems[1];
    block[5] = 0xBD;  // repaired, so the free below stays quiet
    ExFreePool(block);
}

TEST_F(PoolMisuseTest, BadFreesStopWithBadPoolCallerAndTheirKind) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 4, Tag("Filt"));
    ExFreePoolWithTag(block, Tag("Fil2"));
    ExFreePool(block);
    int local = 0;
    ExFreePool(&local);
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(3u, stops.size());
    for (const KsimStop& stop : stops) EXPECT_EQ(KSIM_STOP_BAD_POOL_CALLER, stop.code);
    EXPECT_EQ(0x0Au, stops[0].p[0]) << "wrong tag";
    EXPECT_EQ(0x07u, stops[1].p[0]) << "already freed";
    EXPECT_EQ(0x46u, stops[2].p[0]) << "not a pool block";
}

TEST_F(PoolMisuseTest, PagedPoolAtDispatchLevelStops) {
    void* block;
    {
        KsimIrqlScope raised(DISPATCH_LEVEL);
        block = ExAllocatePoolWithTag(PagedPool, 4, Tag("Filt"));
    }
    EXPECT_EQ(std::vector<ULONG>{KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION}, TakeStopCodes());
    ExFreePool(block);
}

TEST_F(PoolMisuseTest, ExecutableNonPagedPoolStopsWithTheCodeIntegrityCodeAndKeepsTheTag) {
    void* executable = ExAllocatePoolWithTag(NonPagedPool, 4, Tag("Filt"));
    void* noExecute = ExAllocatePoolWithTag(NonPagedPoolNx, 4, Tag("Filt"));
    void* paged = ExAllocatePoolWithTag(PagedPool, 4, Tag("Filt"));
    std::vector<KsimStop> stops = KsimTakeStops();
    ASSERT_EQ(1u, stops.size());
    EXPECT_EQ(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, stops[0].code);
    EXPECT_EQ(0x2000u, stops[0].p[0]);
    EXPECT_EQ(static_cast<ULONG_PTR>(NonPagedPool), stops[0].p[2]);
    EXPECT_EQ(Tag("Filt"), stops[0].p[3]);
    std::vector<KsimPoolBlock> live = KsimLivePool();
    ASSERT_EQ(3u, live.size());
    EXPECT_EQ(NonPagedPoolNx, live[1].type);
    EXPECT_EQ("Filt", live[1].tagText);
    ExFreePool(executable);
    ExFreePool(noExecute);
    ExFreePool(paged);
}

}  // namespace

// Pending-action accounting and synchronous forwarding.
#include "scenario.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

class PendingActionTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        record = std::make_unique<DEVICE_EXTENSION>();
        ext = record.get();
        RtlZeroMemory(ext, sizeof(*ext));
        ext->signature = DEVICE_EXTENSION_SIGNATURE;
        ext->state = STATE_STARTED;
        KeInitializeEvent(&ext->removalEvent, NotificationEvent, FALSE);
    }
    bool RemovalSignalled() { return KeReadStateEvent(&ext->removalEvent) != 0; }

    std::unique_ptr<DEVICE_EXTENSION> record;
    DEVICE_EXTENSION* ext = nullptr;
};

TEST_F(PendingActionTest, BalancedAcquiresAndReleasesLeaveZeroAndTheEventClear) {
    AcquirePendingAction(ext);
    AcquirePendingAction(ext);
    EXPECT_EQ(2, ext->pendingActionCount);
    ReleasePendingAction(ext);
    ReleasePendingAction(ext);
    EXPECT_EQ(0, ext->pendingActionCount);
    EXPECT_FALSE(RemovalSignalled());
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(PendingActionTest, ReleaseBelowZeroWhileRemovedSignalsRemovalQuietly) {
    ext->state = STATE_REMOVED;
    ReleasePendingAction(ext);
    EXPECT_EQ(-1, ext->pendingActionCount);
    EXPECT_TRUE(RemovalSignalled());
    EXPECT_TRUE(KsimAsserts().empty());
}

TEST_F(PendingActionTest, ReleaseBelowZeroWhileStartedReportsTheStateAndStillSignals) {
    ReleasePendingAction(ext);
    EXPECT_TRUE(RemovalSignalled());
    std::vector<KsimAssert> asserts = KsimAsserts();
    ASSERT_EQ(1u, asserts.size());
    EXPECT_EQ("(devExt->state == STATE_REMOVING) || (devExt->state == STATE_REMOVED)", asserts[0].expression);
    EXPECT_EQ("util", asserts[0].module);

    // Counting on from below zero is itself reported, on both sides.
    KsimClearAsserts();
    AcquirePendingAction(ext);
    ReleasePendingAction(ext);
    ASSERT_FALSE(KsimAsserts().empty());
    EXPECT_EQ("devExt->pendingActionCount >= 0", KsimAsserts()[0].expression);
    EXPECT_EQ("util", KsimAsserts()[0].module);
}

// Requests on several processors, some at DISPATCH_LEVEL, while the device is removed: the
// count must never touch -1 before the last of them, and must reach it at the end.
TEST_F(PendingActionTest, ConcurrentRequestsDuringRemovalReachMinusOneExactlyAtTheEnd) {
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    ext->state = STATE_REMOVING;
    AcquirePendingAction(ext);  // a request in progress while the device share goes

    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            KsimIrqlScope irql(t % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
            while (!go) {
                std::this_thread::yield();
            }
            for (int i = 0; i < ROUNDS; ++i) {
                AcquirePendingAction(ext);
                if (i % 3 == 0) {
                    AcquirePendingAction(ext);
                    ReleasePendingAction(ext);
                }
                ReleasePendingAction(ext);
            }
        });
    }
    go = true;
    ext->state = STATE_REMOVED;
    ReleasePendingAction(ext);  // the device's own share
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, ext->pendingActionCount);
    EXPECT_FALSE(RemovalSignalled()) << "the count went below zero while requests were in progress";

    ReleasePendingAction(ext);  // the last request ends
    EXPECT_EQ(-1, ext->pendingActionCount);
    EXPECT_TRUE(RemovalSignalled());
    EXPECT_TRUE(KsimAsserts().empty());
}

class ForwardTest : public KsimTest {
protected:
    void SetUp() override {
        KsimTest::SetUp();
        target = KsimCreateUsbPdo(ApplePhone());
    }
    void TearDown() override {
        KsimSetIrpHook(target, nullptr);
        KsimTest::TearDown();
    }

    // A query the target answers through its hook; the caller owns the request afterwards.
    NTSTATUS Forward() {
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        NTSTATUS status = CallDriverAndWait(target, irp);
        IoFreeIrp(irp);
        return status;
    }

    PDEVICE_OBJECT target = nullptr;
    DEVICE_CAPABILITIES capabilities{};
};

TEST_F(ForwardTest, RequestCompletedAtOnceReturnsItsFinalStatus) {
    KsimSetIrpHook(target, [](PDEVICE_OBJECT, PIRP irp, NTSTATUS* result) {
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        *result = STATUS_DEVICE_BUSY;
        return true;
    });
    EXPECT_STATUS(STATUS_DEVICE_BUSY, Forward());
}

TEST_F(ForwardTest, RequestPendedAndCompletedFromAnotherThreadIsWaitedFor) {
    std::thread completer;
    KsimSetIrpHook(target, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS* result) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        *result = STATUS_PENDING;
        return true;
    });
    EXPECT_STATUS(STATUS_NO_SUCH_DEVICE, Forward());
    completer.join();
}

TEST_F(ForwardTest, RequestThatTimedOutBelowIsTracedNotAsserted) {
    KsimSetIrpHook(target, [](PDEVICE_OBJECT, PIRP irp, NTSTATUS* result) {
        irp->IoStatus.Status = STATUS_IO_TIMEOUT;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        *result = STATUS_IO_TIMEOUT;
        return true;
    });
    EXPECT_STATUS(STATUS_IO_TIMEOUT, Forward());
    EXPECT_TRUE(KsimAsserts().empty());
    EXPECT_EQ(std::vector<std::string>{"OrvantaDriver> Request timed out below\n"}, KsimDbgPrints());
}

}  // namespace

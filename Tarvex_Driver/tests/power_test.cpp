// Power requests through the filter: when the state changes relative to the device below, and
// what every request leaves behind.
#include "scenario.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class PowerTest : public TarvexTest {
protected:
    // A started Apple device whose filter came from AddDevice and sits above the function driver.
    void SetUp() override {
        TarvexTest::SetUp();
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pdo = KsimPnpPlugRoot(ApplePhone(), &status);
        ASSERT_STATUS(STATUS_SUCCESS, status);
        filter = FilterOn(pdo);
        ASSERT_NE(nullptr, filter);
        ext = Ext(filter);
        ASSERT_EQ(STATE_STARTED, ext->state);
        below = ext->topDevObj;
        // The device below records the filter's state as each power request reaches it.
        KsimSetIrpHook(below, [this](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
            PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(irp);
            if (irpSp->MajorFunction == IRP_MJ_POWER) {
                seen.push_back({irpSp->MinorFunction, irpSp->Parameters.Power.Type, ext->state});
            }
            return false;
        });
    }
    void TearDown() override {
        KsimSetIrpHook(below, nullptr);
        TarvexTest::TearDown();
    }

    struct Seen {
        UCHAR minor;
        POWER_STATE_TYPE type;
        LONG filterState;
    };
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_OBJECT below = nullptr;
    DEVICE_EXTENSION* ext = nullptr;
    std::vector<Seen> seen;
};

TEST_F(PowerTest, SleepWhileStartedSuspendsBeforeTheDeviceBelowSeesTheRequest) {
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD2));
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(STATE_SUSPENDED, seen[0].filterState);
    EXPECT_EQ(STATE_SUSPENDED, ext->state);

    // D1 and D3 as well; a further one while suspended changes nothing.
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD3));
    EXPECT_EQ(STATE_SUSPENDED, ext->state);
    ext->state = STATE_STARTED;
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD1));
    EXPECT_EQ(STATE_SUSPENDED, ext->state);
}

TEST_F(PowerTest, WakeResumesOnlyAfterTheDeviceBelowCompletedItSuccessfully) {
    ASSERT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD2));

    KsimPoSetPdoAnswer(pdo, STATUS_DEVICE_NOT_READY);
    EXPECT_STATUS(STATUS_DEVICE_NOT_READY, KsimPoSetDevicePower(pdo, PowerDeviceD0));
    EXPECT_EQ(STATE_SUSPENDED, ext->state);

    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD0));
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(STATE_SUSPENDED, seen[2].filterState);
    EXPECT_EQ(STATE_STARTED, ext->state);
}

TEST_F(PowerTest, SleepWhileStoppedLeavesStopped) {
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpQueryStop(pdo));
    ASSERT_STATUS(STATUS_SUCCESS, KsimPnpStop(pdo));
    ASSERT_EQ(STATE_STOPPED, ext->state);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD3));
    EXPECT_EQ(STATE_STOPPED, ext->state);
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD0));
    EXPECT_EQ(STATE_STOPPED, ext->state);
}

TEST_F(PowerTest, SystemPowerAndQueriesPassThroughWithoutChangingState) {
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoQuerySystemPower(pdo, PowerSystemSleeping3));
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetSystemPower(pdo, PowerSystemSleeping3));
    EXPECT_STATUS(STATUS_SUCCESS, KsimPoQueryDevicePower(pdo, PowerDeviceD3));
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(IRP_MN_SET_POWER, seen[1].minor);
    EXPECT_EQ(SystemPowerState, seen[1].type);
    for (const Seen& s : seen) {
        EXPECT_EQ(STATE_STARTED, s.filterState);
    }
    EXPECT_EQ(STATE_STARTED, ext->state);
}

TEST_F(PowerTest, EveryRequestStartsTheNextOnceAndReleasesItsPendingAction) {
    const DEVICE_POWER_STATE states[] = {PowerDeviceD2, PowerDeviceD0, PowerDeviceD3, PowerDeviceD0};
    for (DEVICE_POWER_STATE state : states) {
        EXPECT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, state));
    }
    KsimPoSetPdoAnswer(pdo, STATUS_UNSUCCESSFUL);
    EXPECT_STATUS(STATUS_UNSUCCESSFUL, KsimPoSetSystemPower(pdo, PowerSystemHibernate));

    EXPECT_EQ(5u, KsimPoStartNextPowerIrpCalls(filter));
    EXPECT_EQ(0, ext->pendingActionCount);
    EXPECT_TRUE(KsimAsserts().empty());
}

// A removal that begins on another processor just as a wake-up completes keeps its state: the
// completion moves suspended to started and nothing else.
TEST_F(PowerTest, WakeCompletingAsRemovalBeginsLeavesTheRemovalState) {
    ASSERT_STATUS(STATUS_SUCCESS, KsimPoSetDevicePower(pdo, PowerDeviceD2));
    ASSERT_EQ(STATE_SUSPENDED, ext->state);
    std::atomic<bool> passed{false};
    KsimSetIrpHook(below, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        passed = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
        return false;
    });
    KsimPoPendAtPdo(pdo, 50);
    NTSTATUS wake = STATUS_UNSUCCESSFUL;
    std::thread waker([&] { wake = KsimPoSetDevicePower(pdo, PowerDeviceD0); });
    // Once the request is below and has left the filter's dispatch routine, the next write to the
    // filter's record is the completion's.
    while (!passed || ext->dispatchCount != 0 || ext->pendingActionCount != 1) {
        std::this_thread::yield();
    }
    KsimBeforeNextExtensionWrite(filter, [this] { ext->state = STATE_REMOVING; });
    waker.join();
    EXPECT_STATUS(STATUS_SUCCESS, wake);
    EXPECT_EQ(STATE_REMOVING, ext->state);
    EXPECT_EQ(0, ext->pendingActionCount);
}

// A request still inside the filter's dispatch routine when removal begins reaches the device
// below before the remove does: after the remove the PDO may see nothing but Plug and Play.
TEST_F(PowerTest, RequestStillInTheDispatchRoutineWhenRemovalBeginsReachesThePdoBeforeTheRemove) {
    // The device below lets the request on once removal has begun, and once the PDO has handled
    // the remove if that comes within 200 ms.
    std::atomic<bool> inside{false};
    KsimSetIrpHook(below, [&](PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER) {
            return false;
        }
        inside = true;
        while (ext->state != STATE_REMOVED) {
            std::this_thread::yield();
        }
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!KsimPdoRemoveHandled(pdo) && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        return false;
    });
    NTSTATUS power = STATUS_UNSUCCESSFUL;
    std::thread sleeper([&] { power = KsimPoSetDevicePower(pdo, PowerDeviceD2); });
    while (!inside) {
        std::this_thread::yield();
    }
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpSurpriseRemove(pdo));
    EXPECT_STATUS(STATUS_SUCCESS, KsimPnpRemove(pdo));
    sleeper.join();
    EXPECT_STATUS(STATUS_SUCCESS, power);
    EXPECT_TRUE(KsimIsDeleted(filter));
}

}  // namespace

// I/O manager: work items, served by one simulator worker thread.
#include "ksim_io.h"

namespace ksim {
namespace {

// Work item queue, served by one simulator worker thread.
struct WorkQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<WorkItem*> queue;
    bool running = false;
    bool held = false;
    bool threadStarted = false;
};

WorkQueue& WQ() {
    static WorkQueue* q = new WorkQueue;
    return *q;
}

void WorkerLoop() {
    WorkQueue& q = WQ();
    for (;;) {
        WorkItem* item;
        {
            std::unique_lock<std::mutex> g(q.m);
            q.cv.wait(g, [&] { return !q.queue.empty() && !q.held; });
            item = q.queue.front();
            q.queue.pop_front();
            q.running = true;
        }
        PDEVICE_OBJECT device = item->device;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        {
            Guard g(Lock());
            item->queued = false;
        }
        SetIrql(PASSIVE_LEVEL);
        routine(device, context);
        if (Irql() != PASSIVE_LEVEL) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x216, Irql(), 0, 0,
                 "work item routine returned at IRQL %u", Irql());
            SetIrql(PASSIVE_LEVEL);
        }
        DereferenceDevice(device);
        {
            std::lock_guard<std::mutex> g(q.m);
            q.running = false;
        }
        q.cv.notify_all();
    }
}

}  // namespace

void DrainWorkItems() {
    WorkQueue& q = WQ();
    std::unique_lock<std::mutex> g(q.m);
    q.held = false;
    q.cv.notify_all();
    q.cv.wait(g, [&] { return q.queue.empty() && !q.running; });
}

}  // namespace ksim

using namespace ksim;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    RequireIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (TakeFault(KsimFault::IoAllocateWorkItem)) return nullptr;
    auto* item = new WorkItem;
    item->device = DeviceObject;
    Guard g(Lock());
    IO().workItems.insert(item);
    return reinterpret_cast<PIO_WORKITEM>(item);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    (void)QueueType;
    RequireIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    auto* item = reinterpret_cast<WorkItem*>(IoWorkItem);
    {
        Guard g(Lock());
        if (!IO().workItems.count(item) || item->freed) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x213, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                 "IoQueueWorkItem of a work item that is unknown or freed");
            return;
        }
        if (item->queued) {
            Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x214, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                 "IoQueueWorkItem of a work item that is already queued");
            return;
        }
        item->queued = true;
        item->routine = WorkerRoutine;
        item->context = Context;
    }
    ReferenceDevice(item->device);
    WorkQueue& q = WQ();
    {
        std::lock_guard<std::mutex> g(q.m);
        q.queue.push_back(item);
        if (!q.threadStarted) {
            q.threadStarted = true;
            std::thread(WorkerLoop).detach();
        }
    }
    q.cv.notify_all();
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    auto* item = reinterpret_cast<WorkItem*>(IoWorkItem);
    Guard g(Lock());
    if (!IO().workItems.count(item) || item->freed) {
        Stop(KSIM_STOP_BAD_POOL_CALLER, 0x07, 0, 0, reinterpret_cast<ULONG_PTR>(IoWorkItem),
             "IoFreeWorkItem of a work item that is unknown or already freed");
        return;
    }
    if (item->queued)
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x215, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
             "IoFreeWorkItem of a work item still queued");
    item->freed = true;
}

}  // extern "C"

KSIM_IMPORT_POINTER(IoAllocateWorkItem)
KSIM_IMPORT_POINTER(IoQueueWorkItem)
KSIM_IMPORT_POINTER(IoFreeWorkItem)

void KsimHoldWorkItems(bool hold) {
    WorkQueue& q = WQ();
    {
        std::lock_guard<std::mutex> g(q.m);
        q.held = hold;
    }
    q.cv.notify_all();
}

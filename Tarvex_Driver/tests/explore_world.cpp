// The model of a USB tree that plays the steps of a sequence against the driver and checks the
// invariants between any two of them.
#include "explore.h"
#include "explore_sequences.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <iterator>
#include <thread>

namespace {

using namespace explore;

// A client's thread kept for the whole run: Wine makes a thread dearly, and the sequences order
// from two threads at once thousands of times.
class OrderThread {
public:
    OrderThread() {
        std::thread([this] { Serve(); }).detach();
    }
    void Start(std::function<void()> job) {
        std::lock_guard<std::mutex> g(m_);
        job_ = std::move(job);
        done_ = false;
        cv_.notify_all();
    }
    bool Done() const { return done_; }
    void Wait() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [this] { return done_.load(); });
    }

private:
    void Serve() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> g(m_);
                cv_.wait(g, [this] { return static_cast<bool>(job_); });
                job.swap(job_);
            }
            job();
            std::lock_guard<std::mutex> g(m_);
            done_ = true;
            cv_.notify_all();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> job_;
    std::atomic<bool> done_{true};
};

// Never destroyed: their threads wait for work until the program ends.
OrderThread& Orderer(int i) {
    static OrderThread* threads = new OrderThread[2];
    return threads[i];
}

const std::array<UCHAR, 8> FOREIGN = {0x40, 0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

enum class Kind { Root, Hub, Phone, Keyboard, Portable };

struct Node {
    PDEVICE_OBJECT pdo;
    Kind kind;
    int parent;
    std::wstring location;
    bool present = true;  // on the bus, not surprise-removed
    bool gone = false;    // removal done
    bool started = false;
    bool stopped = false;
    bool suspended = false;
    int lastOrder = -1;       // the last charging order accepted: 1 on, 0 off
    bool resendHeld = false;  // a re-send queued behind held work items
};

struct Client {
    KsimHandle handle;
    int node;
    bool write;
};

class World {
public:
    explicit World(Kernel& run) : run_(run) {}

    void Begin(bool installedFirst) {
        installedFirst_ = installedFirst;
        if (installedFirst) {
            run_.Install();
        }
        nodes_.push_back(Node{KsimPnpPlugRoot(RootHub()), Kind::Root, -1, L""});
        nodes_.back().started = true;
        if (!installedFirst) {
            run_.Install();
        }
        KsimHoldWorkItems(true);
        PlugChild(PlugChild(0, Kind::Hub), Kind::Phone);
    }

    // Runs one step; returns what it did, for the printed sequence.
    std::string Play(const Step& step) {
        switch (step.event) {
        case Event::PlugHub: return Plug(step, Kind::Hub);
        case Event::PlugPhone: return Plug(step, Kind::Phone);
        case Event::PlugKeyboard: return Plug(step, Kind::Keyboard);
        case Event::PlugPortable: return Plug(step, Kind::Portable);
        case Event::Unplug: return Remove(step, false);
        case Event::SurpriseRemove: return Remove(step, true);
        case Event::FinishRemove: return FinishRemove(step);
        case Event::QueryRemoveThenCancel: return QueryRemove(step);
        case Event::Stop: return Stop(step);
        case Event::Start: return Start(step);
        case Event::Suspend: return Power(step, true);
        case Event::Resume: return Power(step, false);
        case Event::SystemSleepAndWake: return SystemPower(step);
        case Event::OpenHandle: return Open(step);
        case Event::CloseHandle: return Close(step);
        case Event::Order: return OrderStep(step);
        case Event::TwoOrdersAtOnce: return TwoOrders(step);
        case Event::ForeignRequest: return Foreign(step);
        case Event::Traffic: return Traffic(step);
        case Event::WatchStart: return Watch(step, true);
        case Event::WatchQuery: return Watch(step, false);
        case Event::RunWorkItems: RunWorkItems(); return "the work items run";
        case Event::WaitWake: return WaitWake(step);
        }
        return "";
    }

    // The invariants that hold between any two steps.
    void Check() {
        std::vector<ControlView> all = ControlDevices(run_.driver);
        CheckNumbers(run_, all);
        // The driver's pool lives for one request.
        for (const KsimPoolBlock& block : KsimLivePool()) {
            if (block.tagText == "Filt") {
                run_.Note("the driver's pool outlives the step: " + std::to_string(block.bytes) + " bytes");
            }
        }
        for (const Node& node : nodes_) {
            if (node.gone) {
                continue;
            }
            std::vector<ControlView> controls;
            std::copy_if(all.begin(), all.end(), std::back_inserter(controls),
                         [&node](const ControlView& control) { return control.pdo == node.pdo; });
            bool wanted = (node.kind == Kind::Phone || node.kind == Kind::Portable) && node.present;
            if (controls.size() != (wanted ? 1u : 0u)) {
                run_.Note(Name(node) + " has " + std::to_string(controls.size()) + " control devices" +
                          (node.present ? "" : " after its surprise removal"));
                continue;
            }
            if (wanted && controls[0].location != node.location) {
                run_.Note(Name(node) + "'s control device carries " + Narrow(controls[0].location));
            }
            if (node.kind == Kind::Phone && node.present && node.lastOrder >= 0 && !node.resendHeld) {
                std::string history = ChargingHistory(node.pdo);
                size_t own = history.find_last_of("01");
                if (own == std::string::npos || history[own] - '0' != node.lastOrder) {
                    run_.Note(Name(node) + " last received " +
                              (own == std::string::npos ? std::string("no order") : history.substr(own, 1)) +
                              " though the last order accepted was " + std::to_string(node.lastOrder) + " (history " +
                              history + ")");
                } else if (node.lastOrder == 1 && history.back() == 'f' && !node.stopped && !node.suspended) {
                    run_.Note(Name(node) + " charges on order but no on form followed a foreign request");
                }
            }
        }
    }

    // Everything closed and unplugged: nothing may be left behind.
    void End() {
        RunWorkItems();
        for (const Client& client : clients_) {
            NTSTATUS status = KsimUserClose(client.handle);
            if (status != STATUS_SUCCESS) {
                run_.Note("a close at the end failed with " + Hex(status));
            }
        }
        clients_.clear();
        FinishSurprised(0);
        KsimPnpUnplug(nodes_[0].pdo);
        if (!ControlDevices(run_.driver).empty()) {
            run_.Note("control devices are left after every device is gone");
        }
        CheckNumbers(run_);
    }

private:
    std::string Name(const Node& node) const {
        static const char* kinds[] = {"root hub", "hub", "phone", "keyboard", "portable device"};
        return std::string(kinds[static_cast<int>(node.kind)]) + " " + Narrow(node.location);
    }

    // A node that step's number picks among those that qualify, or -1.
    template <typename Filter>
    int Pick(uint32_t number, Filter filter) const {
        std::vector<int> candidates;
        for (size_t i = 0; i < nodes_.size(); ++i) {
            if (filter(nodes_[i])) {
                candidates.push_back(static_cast<int>(i));
            }
        }
        return candidates.empty() ? -1 : candidates[number % candidates.size()];
    }

    static bool Running(const Node& node) { return node.present && node.started && !node.stopped && !node.suspended; }

    // Work items run before anything that may wait for the driver's own requests to end.
    void RunWorkItems() {
        KsimDrainWorkItems();
        KsimHoldWorkItems(true);
        for (Node& node : nodes_) {
            node.resendHeld = false;
        }
    }

    int PlugChild(int parent, Kind kind) {
        wchar_t location[32];
        swprintf(location, 32, L"Port_#%04u.Hub_#%04u", ++ports_, static_cast<unsigned>(parent) + 1);
        KsimUsbDevice device = kind == Kind::Hub        ? Usb3Hub(location)
                               : kind == Kind::Phone    ? ApplePhone(location)
                               : kind == Kind::Keyboard ? Keyboard(location)
                                                        : OtherPhone(location);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDEVICE_OBJECT pdo = KsimPnpPlug(nodes_[parent].pdo, device, &status);
        nodes_.push_back(Node{pdo, kind, parent, location});
        nodes_.back().started = NT_SUCCESS(status);
        if (!NT_SUCCESS(status)) {
            run_.Note(Name(nodes_.back()) + " did not start: " + Hex(status));
        }
        return static_cast<int>(nodes_.size()) - 1;
    }

    std::string Plug(const Step& step, Kind kind) {
        if (nodes_.size() >= 24) {
            return "no room for another device";
        }
        // Only the USB class has the filter: devices of other classes are out of its reach on a
        // root hub that started before it was installed.
        bool rootReaches = installedFirst_ || kind == Kind::Hub;
        int parent = Pick(step.a, [rootReaches](const Node& n) {
            return (n.kind == Kind::Hub || (n.kind == Kind::Root && rootReaches)) && Running(n);
        });
        if (parent < 0) {
            return "no hub to plug into";
        }
        RunWorkItems();
        int child = PlugChild(parent, kind);
        return "plug " + Name(nodes_[child]) + " into " + Name(nodes_[parent]);
    }

    bool Below(int node, int ancestor) const {
        for (int n = nodes_[node].parent; n >= 0; n = nodes_[n].parent) {
            if (n == ancestor) {
                return true;
            }
        }
        return false;
    }

    // Removal of surprise-removed devices at or below a node, deepest first, as PnP ends them.
    void FinishSurprised(int top) {
        for (int i = static_cast<int>(nodes_.size()) - 1; i >= 0; --i) {
            Node& node = nodes_[i];
            if (!node.gone && !node.present && (i == top || Below(i, top))) {
                KsimPnpRemove(node.pdo);
                node.gone = true;
            }
        }
    }

    void MarkGone(int top, bool surprise) {
        for (size_t i = 0; i < nodes_.size(); ++i) {
            if (static_cast<int>(i) == top || Below(static_cast<int>(i), top)) {
                nodes_[i].present = false;
                nodes_[i].gone = nodes_[i].gone || !surprise;
            }
        }
    }

    std::string Remove(const Step& step, bool surprise) {
        int n = Pick(step.a, [](const Node& node) { return node.kind != Kind::Root && node.present; });
        if (n < 0) {
            return "nothing to unplug";
        }
        RunWorkItems();
        FinishSurprised(n);
        if (surprise) {
            PDEVICE_OBJECT parent = nodes_[nodes_[n].parent].pdo;
            KsimRemoveChild(parent, nodes_[n].pdo);
            if (nodes_[nodes_[n].parent].present) {
                KsimPnpQueryBusRelations(parent);
            }
            KsimPnpSurpriseRemove(nodes_[n].pdo);
        } else {
            KsimPnpUnplug(nodes_[n].pdo);
        }
        MarkGone(n, surprise);
        return (surprise ? "surprise removal of " : "unplug ") + Name(nodes_[n]);
    }

    std::string FinishRemove(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return !node.present && !node.gone; });
        if (n < 0) {
            return "no removal to finish";
        }
        RunWorkItems();
        FinishSurprised(n);
        return "the remove of " + Name(nodes_[n]);
    }

    std::string QueryRemove(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.kind != Kind::Root && node.present && node.started; });
        if (n < 0) {
            return "nothing to query";
        }
        RunWorkItems();
        NTSTATUS status = KsimPnpQueryRemove(nodes_[n].pdo);
        KsimPnpCancelRemove(nodes_[n].pdo);
        return "query-remove (" + Hex(status) + ") and cancel of " + Name(nodes_[n]);
    }

    std::string Stop(const Step& step) {
        int n = Pick(step.a, [](const Node& node) {
            return node.kind != Kind::Root && node.present && node.started && !node.stopped;
        });
        if (n < 0) {
            return "nothing to stop";
        }
        RunWorkItems();
        Node& node = nodes_[n];
        NTSTATUS status = KsimPnpQueryStop(node.pdo);
        if (!NT_SUCCESS(status)) {
            KsimPnpCancelStop(node.pdo);
            if (!node.suspended) {
                run_.Note("a running " + Name(node) + " vetoed its stop with " + Hex(status));
            }
            return "query-stop of " + Name(node) + " vetoed";
        }
        KsimPnpStop(node.pdo);
        node.stopped = true;
        return "stop of " + Name(node);
    }

    std::string Start(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.present && node.stopped; });
        if (n < 0) {
            return "nothing to start";
        }
        RunWorkItems();
        NTSTATUS status = KsimPnpStart(nodes_[n].pdo);
        if (!NT_SUCCESS(status)) {
            run_.Note("the restart of " + Name(nodes_[n]) + " failed with " + Hex(status));
        }
        nodes_[n].stopped = false;
        return "start of " + Name(nodes_[n]);
    }

    std::string Power(const Step& step, bool sleep) {
        int n = Pick(step.a, [sleep](const Node& node) {
            return node.kind != Kind::Root && node.present && node.started && !node.stopped && node.suspended != sleep;
        });
        if (n < 0) {
            return "nothing to power";
        }
        RunWorkItems();
        NTSTATUS status = KsimPoSetDevicePower(nodes_[n].pdo, sleep ? PowerDeviceD2 : PowerDeviceD0);
        if (status != STATUS_SUCCESS) {
            run_.Note("a set-power of " + Name(nodes_[n]) + " failed with " + Hex(status));
        }
        nodes_[n].suspended = sleep;
        return std::string(sleep ? "D2 for " : "D0 for ") + Name(nodes_[n]);
    }

    std::string SystemPower(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.present && node.started; });
        if (n < 0) {
            return "nothing to power";
        }
        RunWorkItems();
        NTSTATUS sleep = KsimPoSetSystemPower(nodes_[n].pdo, PowerSystemSleeping3);
        NTSTATUS wake = KsimPoSetSystemPower(nodes_[n].pdo, PowerSystemWorking);
        if (sleep != STATUS_SUCCESS || wake != STATUS_SUCCESS) {
            run_.Note("a system set-power of " + Name(nodes_[n]) + " failed");
        }
        return "S3 and S0 for " + Name(nodes_[n]);
    }

    int NodeOf(PDEVICE_OBJECT pdo) const {
        for (size_t i = 0; i < nodes_.size(); ++i) {
            if (nodes_[i].pdo == pdo && !nodes_[i].gone) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    std::string Open(const Step& step) {
        std::vector<ControlView> controls = ControlDevices(run_.driver);
        if (controls.empty()) {
            return "no control device to open";
        }
        const ControlView& control = controls[step.a % controls.size()];
        bool write = step.b % 4 != 0;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        KsimHandle handle = OpenControl(control.number, write, &status);
        if (handle) {
            clients_.push_back({handle, NodeOf(control.pdo), write});
        }
        return std::string("open TVXIPC") + std::to_string(control.number) + (write ? " to write: " : " to read: ") +
               Hex(status);
    }

    std::string Close(const Step& step) {
        if (clients_.empty()) {
            return "no handle to close";
        }
        size_t i = step.a % clients_.size();
        NTSTATUS status = KsimUserClose(clients_[i].handle);
        if (status != STATUS_SUCCESS) {
            run_.Note("a close failed with " + Hex(status));
        }
        clients_.erase(clients_.begin() + static_cast<ptrdiff_t>(i));
        return "close a handle";
    }

    // An order's outcome judged against the model: a running device takes one addressed to it
    // through a writable handle, and nothing else is taken.
    void JudgeOrder(const Client& client, bool on, bool addressed, NTSTATUS status) {
        const Node* node = client.node >= 0 ? &nodes_[client.node] : nullptr;
        bool due = node && Running(*node) && addressed && client.write;
        std::string what = std::string(on ? "on" : "off") + " order to " + (node ? Name(*node) : "a device gone");
        if (status == STATUS_SUCCESS && !due) {
            run_.Note(what + " was accepted " +
                      (!client.write ? "through a handle without write access"
                       : !addressed  ? "with another location"
                                     : "while the device was not running"));
        } else if (status != STATUS_SUCCESS && due) {
            run_.Note(what + " was refused with " + Hex(status));
        }
    }

    std::string OrderStep(const Step& step) {
        if (clients_.empty()) {
            return "no handle to order through";
        }
        Client client = clients_[step.a % clients_.size()];
        bool on = step.b % 2 == 0;
        bool addressed = step.b % 16 != 1;
        std::wstring location = client.node >= 0 ? nodes_[client.node].location : L"";
        if (!addressed) {
            location = L"Port_#0099.Hub_#0099";
        }
        NTSTATUS status = Order(client.handle, on ? IOCTL_TVXIPC_CHARGING_ON : IOCTL_TVXIPC_CHARGING_OFF, location);
        JudgeOrder(client, on, addressed, status);
        if (status == STATUS_SUCCESS && client.node >= 0 && nodes_[client.node].kind == Kind::Phone) {
            nodes_[client.node].lastOrder = on ? 1 : 0;
        }
        return std::string(on ? "order on " : "order off ") + (addressed ? "" : "(elsewhere) ") + Hex(status);
    }

    // Two clients order at once: the first order is held at the PDO until the second has either
    // ended or is seen waiting in the driver; then the first goes on.
    std::string TwoOrders(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.kind == Kind::Phone && Running(node); });
        if (n < 0) {
            return "no phone for two orders";
        }
        std::vector<ControlView> controls = ControlDevicesFor(run_.driver, nodes_[n].pdo);
        if (controls.size() != 1) {
            return "no control device for two orders";
        }
        Node& node = nodes_[n];
        KsimHandle first = OpenControl(controls[0].number, true);
        KsimHandle second = OpenControl(controls[0].number, true);
        if (!first || !second) {
            run_.Note("a writable open of " + Name(node) + "'s control device failed");
            if (first) KsimUserClose(first);
            if (second) KsimUserClose(second);
            return "two orders could not open";
        }
        bool firstOn = step.b % 2 == 0;
        bool secondOn = step.b % 4 < 2;
        KsimUrbScript hold;
        hold.function = URB_FUNCTION_VENDOR_DEVICE;
        hold.answer = KsimUrbAnswer::Pend;
        KsimUsbScript(node.pdo, hold);
        NTSTATUS firstStatus = STATUS_UNSUCCESSFUL;
        NTSTATUS secondStatus = STATUS_UNSUCCESSFUL;
        Orderer(0).Start([&] {
            firstStatus = Order(first, firstOn ? IOCTL_TVXIPC_CHARGING_ON : IOCTL_TVXIPC_CHARGING_OFF, node.location);
        });
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (KsimUsbPendedCount(node.pdo) == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        bool held = KsimUsbPendedCount(node.pdo) == 1;
        Orderer(1).Start([&] {
            secondStatus =
                Order(second, secondOn ? IOCTL_TVXIPC_CHARGING_ON : IOCTL_TVXIPC_CHARGING_OFF, node.location);
        });
        if (held) {
            until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!Orderer(1).Done() && KsimBlockedWaits() < 2 && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            KsimUsbCompletePended(node.pdo);
        }
        Orderer(0).Wait();
        Orderer(1).Wait();
        KsimUsbClearScripts(node.pdo);
        KsimUserClose(first);
        KsimUserClose(second);
        if (firstStatus != STATUS_SUCCESS || secondStatus != STATUS_SUCCESS) {
            run_.Note("two orders at once to " + Name(node) + " came back " + Hex(firstStatus) + " and " +
                      Hex(secondStatus));
        }
        // Whichever went last, the device and the flag agree on it.
        node.lastOrder = Ext(FiltersOnPdo(run_, node.pdo).front())->bIsChargingCmdOn ? 1 : 0;
        if (node.lastOrder != (firstOn ? 1 : 0) && node.lastOrder != (secondOn ? 1 : 0)) {
            run_.Note("after two orders the flag of " + Name(node) + " is neither");
        }
        return std::string("two orders at once, ") + (firstOn ? "on" : "off") + " held at the device, then " +
               (secondOn ? "on" : "off");
    }

    std::string Foreign(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.kind == Kind::Phone && Running(node); });
        if (n < 0) {
            return "no phone for a foreign request";
        }
        KIRQL irql = step.b % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
        KsimUsbSendControl(nodes_[n].pdo, FOREIGN, irql);
        if (irql == DISPATCH_LEVEL) {
            nodes_[n].resendHeld = true;
        }
        return std::string("foreign 40 40 request at ") + (irql ? "DISPATCH_LEVEL" : "PASSIVE_LEVEL") + " to " +
               Name(nodes_[n]);
    }

    std::string Traffic(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.kind != Kind::Root && Running(node); });
        if (n < 0) {
            return "no device for traffic";
        }
        KIRQL irql = step.b % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL;
        KsimUsbSendBulk(nodes_[n].pdo, 512, irql);
        KsimUsbSendInterrupt(nodes_[n].pdo, 8, irql);
        return "traffic on " + Name(nodes_[n]);
    }

    // The function driver arms the device for wake; the bus holds the request until the remove.
    std::string WaitWake(const Step& step) {
        int n = Pick(step.a, [](const Node& node) { return node.kind != Kind::Root && Running(node); });
        if (n < 0) {
            return "no device to arm for wake";
        }
        KsimPoRequestWaitWake(nodes_[n].pdo);
        return "wait-wake for " + Name(nodes_[n]);
    }

    std::string Watch(const Step& step, bool start) {
        if (clients_.empty()) {
            return "no handle to watch through";
        }
        const Client& client = clients_[step.a % clients_.size()];
        std::wstring location = client.node >= 0 ? nodes_[client.node].location : L"";
        NTSTATUS status =
            Order(client.handle, start ? IOCTL_TVXIPC_URB_WATCH_START : IOCTL_TVXIPC_URB_WATCH_QUERY, location);
        if (start && status == STATUS_SUCCESS && !client.write) {
            run_.Note("a watch start was accepted through a handle without write access");
        }
        return std::string(start ? "watch start " : "watch query ") + Hex(status);
    }

    Kernel& run_;
    std::vector<Node> nodes_;
    std::vector<Client> clients_;
    unsigned ports_ = 0;
    bool installedFirst_ = true;
};

}  // namespace

namespace explore {

Outcome Play(const Sequence& sequence, bool verbose) {
    Outcome outcome;
    Kernel run;
    World world(run);
    world.Begin(sequence.installedFirst);
    world.Check();
    if (!run.Clean()) {
        outcome.failed = true;
        outcome.problems = run.Problems();
        return outcome;
    }
    for (size_t i = 0; i < sequence.steps.size(); ++i) {
        outcome.log.push_back(world.Play(sequence.steps[i]));
        if (verbose) {
            std::printf("  %zu. %s\n", i + 1, outcome.log.back().c_str());
        }
        world.Check();
        if (!run.Clean()) {
            outcome.failed = true;
            outcome.failedAt = i + 1;
            outcome.problems = run.Problems();
            break;
        }
    }
    world.End();
    run.End();
    if (!outcome.failed && !run.Clean()) {
        outcome.failed = true;
        outcome.failedAt = sequence.steps.size() + 1;
        outcome.problems = run.Problems();
    }
    KsimReset();
    return outcome;
}

}  // namespace explore

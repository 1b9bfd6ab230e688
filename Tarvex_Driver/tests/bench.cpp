// Cost of one URB passed down through the Tarvex filter against a bare pass-through device
// object, both above the same kind of simulated PDO, measured side by side in one run as the
// median of per-pair ratios with its spread; and the pool allocations drivers make on that path
// (there must be none).
#include "kernelsim.h"

#include "devext.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

KsimUsbDevice Mouse() {
    KsimUsbDevice d;
    d.hardwareIds = {L"USB\\VID_046D&PID_C077&REV_7200", L"USB\\VID_046D&PID_C077"};
    d.location = L"Port_#0001.Hub_#0001";
    d.classGuid = KSIM_CLASS_HIDCLASS;
    d.descriptor = KsimUsbDescriptor(0x046D, 0xC077, 0);
    d.functionDriver.clear();  // the URBs go straight into the device object under test
    return d;
}

double NanosecondsPerUrb(PDEVICE_OBJECT pdo, int count) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        KsimUsbSendBulk(pdo, 512);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    KsimClearUsbRequests(pdo);
    return std::chrono::duration<double, std::nano>(elapsed).count() / count;
}

// The value at fraction q of the sorted values (0: the least, 0.5: the median, 1: the greatest).
double Quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    double at = q * static_cast<double>(values.size() - 1);
    size_t below = static_cast<size_t>(at);
    size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (values[above] - values[below]) * (at - static_cast<double>(below));
}

}  // namespace

int main() {
    KsimReset();
    PDRIVER_OBJECT tarvex = KsimLoadDriver(DriverEntry);
    PDEVICE_OBJECT filtered = KsimCreateUsbPdo(Mouse());
    PDEVICE_OBJECT plain = KsimCreateUsbPdo(Mouse());
    if (!tarvex || !NT_SUCCESS(KsimPnpAddDevice(tarvex, filtered)) || !NT_SUCCESS(KsimPnpStart(filtered)) ||
        !KsimAttachPassThrough(plain)) {
        fprintf(stderr, "tarvex_bench: could not build the two stacks\n");
        return 1;
    }

    // Pairs of rounds through the two stacks, each round made of short runs taken in turns, so
    // that a change of the host's load touches both halves of a pair alike; the ratio is taken
    // per pair.
    constexpr int URBS = 10000;
    constexpr int RUNS = 10;
    constexpr int PAIRS = 20;
    NanosecondsPerUrb(filtered, URBS / 5);
    NanosecondsPerUrb(plain, URBS / 5);
    std::vector<double> throughFilter, throughBare, ratios;
    uint64_t allocations = 0;
    for (int pair = 0; pair < PAIRS; ++pair) {
        double filter = 0;
        double bare = 0;
        for (int run = 0; run < RUNS; ++run) {
            // Each side goes first in every other run, so that neither profits from the other's warm-up.
            if ((pair + run) % 2) {
                bare += NanosecondsPerUrb(plain, URBS / RUNS);
            }
            uint64_t before = KsimPoolCount().allocations;
            filter += NanosecondsPerUrb(filtered, URBS / RUNS);
            allocations += KsimPoolCount().allocations - before;
            if ((pair + run) % 2 == 0) {
                bare += NanosecondsPerUrb(plain, URBS / RUNS);
            }
        }
        throughFilter.push_back(filter / RUNS);
        throughBare.push_back(bare / RUNS);
        ratios.push_back(filter / bare);
    }
    printf("per URB through the Tarvex filter: %.0f ns, through a bare pass-through device: %.0f ns (medians)\n",
           Quantile(throughFilter, 0.5), Quantile(throughBare, 0.5));
    printf(
        "ratio per pair, %d pairs of %d URBs a side in turns of %d: median %.3f, interquartile %.3f to %.3f, "
        "range %.3f to %.3f\n",
        PAIRS, URBS, URBS / RUNS, Quantile(ratios, 0.5), Quantile(ratios, 0.25), Quantile(ratios, 0.75),
        Quantile(ratios, 0), Quantile(ratios, 1));
    printf("pool allocations by drivers on the pass-through path: %llu in %d URBs\n",
           static_cast<unsigned long long>(allocations), URBS * PAIRS);
    return allocations == 0 ? 0 : 1;
}

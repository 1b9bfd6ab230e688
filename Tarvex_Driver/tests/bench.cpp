// Cost of one URB passed down through the Tarvex filter against a bare pass-through device
// object, both above the same kind of simulated PDO, measured side by side in one run; and the
// pool allocations drivers make on that path (there must be none).
#include "kernelsim.h"

#include "devext.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

KsimUsbDevice Mouse()
{
    KsimUsbDevice d;
    d.hardwareIds = {L"USB\\VID_046D&PID_C077&REV_7200", L"USB\\VID_046D&PID_C077"};
    d.location = L"Port_#0001.Hub_#0001";
    d.classGuid = KSIM_CLASS_HIDCLASS;
    d.descriptor = KsimUsbDescriptor(0x046D, 0xC077, 0);
    d.functionDriver.clear();  // the URBs go straight into the device object under test
    return d;
}

double NanosecondsPerUrb(PDEVICE_OBJECT pdo, int count)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        KsimUsbSendBulk(pdo, 512);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    KsimClearUsbRequests(pdo);
    return std::chrono::duration<double, std::nano>(elapsed).count() / count;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main()
{
    KsimReset();
    PDRIVER_OBJECT tarvex = KsimLoadDriver(DriverEntry);
    PDEVICE_OBJECT filtered = KsimCreateUsbPdo(Mouse());
    PDEVICE_OBJECT plain = KsimCreateUsbPdo(Mouse());
    if (!tarvex || !NT_SUCCESS(KsimPnpAddDevice(tarvex, filtered)) || !NT_SUCCESS(KsimPnpStart(filtered)) ||
        !KsimAttachPassThrough(plain)) {
        fprintf(stderr, "tarvex_bench: could not build the two stacks\n");
        return 1;
    }

    constexpr int URBS = 20000;
    constexpr int ROUNDS = 7;
    NanosecondsPerUrb(filtered, URBS / 10);
    NanosecondsPerUrb(plain, URBS / 10);
    std::vector<double> throughFilter, throughBare;
    uint64_t allocations = 0;
    // Each side goes first in every other round, so that neither profits from the other's warm-up.
    for (int round = 0; round < ROUNDS; ++round) {
        if (round % 2) {
            throughBare.push_back(NanosecondsPerUrb(plain, URBS));
        }
        uint64_t before = KsimPoolCount().allocations;
        throughFilter.push_back(NanosecondsPerUrb(filtered, URBS));
        allocations += KsimPoolCount().allocations - before;
        if (round % 2 == 0) {
            throughBare.push_back(NanosecondsPerUrb(plain, URBS));
        }
    }
    double filter = Median(throughFilter);
    double passThrough = Median(throughBare);
    printf("per URB through the Tarvex filter: %.0f ns, through a bare pass-through device: %.0f ns, ratio %.2f\n",
           filter, passThrough, filter / passThrough);
    printf("pool allocations by drivers on the pass-through path: %llu in %d URBs\n",
           static_cast<unsigned long long>(allocations), URBS * ROUNDS);
    return allocations == 0 ? 0 : 1;
}

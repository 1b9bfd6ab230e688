// How long after ControlService(133) returns the reset tool's process starts, under Wine's real
// service control manager: median and 90th percentile over 20 requests.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "scm_support.h"
#include "service.h"

namespace {

const int REQUESTS = 20;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
    return v[i];
}

}  // namespace

int main() {
    scmtest::RemoveService();
    scmtest::Installation inst = scmtest::Prepare("bench");
    if (inst.exe.empty()) {
        fprintf(stderr, "cannot prepare the installation\n");
        return 1;
    }
    debugout::Result r = scmtest::InstallWhenReady(inst, 60000);
    if (r.exitCode != 0 || !scmtest::WaitForState(SERVICE_RUNNING, 20000)) {
        fprintf(stderr, "the service did not install and run (exit %ld)\n", static_cast<long>(r.exitCode));
        scmtest::RemoveService();
        return 1;
    }

    std::vector<double> toCreated, toEntered;
    for (int n = 1; n <= REQUESTS; ++n) {
        DWORD result = scmtest::SendControl(SERVICE_CONTROL_RESET);
        ULONGLONG returned = scmtest::NowTicks();
        auto starts = scmtest::WaitForStarts(inst, n, 20000);
        if (result != ERROR_SUCCESS || starts.size() != static_cast<size_t>(n)) {
            fprintf(stderr, "request %d: ControlService %lu, %u starts recorded\n", n, result,
                    static_cast<unsigned>(starts.size()));
            scmtest::RemoveService();
            return 1;
        }
        // The launch can begin before ControlService has returned to us, hence signed.
        toCreated.push_back((static_cast<double>(starts.back().created) - static_cast<double>(returned)) / 10000.0);
        toEntered.push_back((static_cast<double>(starts.back().entered) - static_cast<double>(returned)) / 10000.0);
    }
    scmtest::RemoveService();

    printf(
        "service: ControlService(133) to the reset tool's process created: median %.2f ms, 90th percentile %.2f ms"
        " over %d requests\n",
        Percentile(toCreated, 0.5), Percentile(toCreated, 0.9), REQUESTS);
    printf(
        "service: ControlService(133) to the reset tool's main entered: median %.2f ms, 90th percentile %.2f ms"
        " over %d requests\n",
        Percentile(toEntered, 0.5), Percentile(toEntered, 0.9), REQUESTS);
    return 0;
}

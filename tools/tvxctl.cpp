// tvxctl: talks to the Tarvex control devices from a command prompt.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwctype>
#include <string>

#include "tvxclient.h"

namespace {

const char USAGE[] =
    "usage: tvxctl list\n"
    "       tvxctl on|off <location>\n"
    "       tvxctl watch start|query <location>\n"
    "       tvxctl help | /? | -h | --help        this text\n"
    "       tvxctl --version\n"
    "\n"
    "list         the Apple USB devices present: location, the control device (\\\\.\\TVXIPC<n>)\n"
    "             serving it, hardware ID and instance ID, under a header line\n"
    "on           charging on: the driver sends the charging request, and again after the\n"
    "             device's own driver sends one\n"
    "off          charging off, and no more repeats\n"
    "watch start  starts watching the device's data transfers\n"
    "watch query  says whether the device carried data since the start (and ends the watch)\n"
    "<location> is the device's location text as 'tvxctl list' shows it, e.g. Port_#0003.Hub_#0002.\n"
    "Verbs may be written in any letter case.\n"
    "\n"
    "Exit codes: 0 done; 1 the order failed (one line on standard error names the cause:\n"
    "no control device, no such device, access denied); 2 bad command line.\n";

// Asked for: standard output, success. A bad command line: standard error, exit code 2.
int Usage(bool asked = false) {
    fputs(USAGE, asked ? stdout : stderr);
    return asked ? 0 : 2;
}

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

std::string Narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// The control device serving a location, by what each control device says it serves; "unknown"
// when none matched but one could not be asked.
std::string ControlDeviceColumn(const std::vector<tvx::ControlDevice>& present, const std::wstring& location) {
    bool unasked = false;
    for (const auto& c : present) {
        if (c.location.empty()) unasked = true;
        else if (!location.empty() && Lower(c.location) == Lower(location)) return "TVXIPC" + std::to_string(c.number);
    }
    return unasked ? "unknown" : "none";
}

int List() {
    auto devices = tvx::ListAppleDevices();
    if (devices.empty()) {
        printf("no Apple USB device present\n");
        return 0;
    }
    auto present = tvx::ControlDevices();
    printf("LOCATION\tCONTROL DEVICE\tHARDWARE ID\tINSTANCE ID\n");
    for (const auto& d : devices)
        printf("%s\t%s\t%s\t%s\n", Narrow(d.location.empty() ? L"(no location)" : d.location).c_str(),
               ControlDeviceColumn(present, d.location).c_str(), Narrow(d.hardwareId).c_str(),
               Narrow(d.instanceId).c_str());
    return 0;
}

int Order(tvx::Order order, const std::wstring& location, const char* what) {
    tvx::Reply reply = tvx::Send(location, order);
    if (reply.result != tvx::Result::Ok) {
        fprintf(stderr, "tvxctl: %s: %s\n", Narrow(location).c_str(), tvx::Describe(reply.result));
        return 1;
    }
    if (order == tvx::Order::WatchQuery)
        printf("%s: %s (TVXIPC%d)\n", Narrow(location).c_str(),
               reply.answer ? "data transferred since the watch started" : "no data transferred", reply.controlDevice);
    else
        printf("%s: %s (TVXIPC%d)\n", Narrow(location).c_str(), what, reply.controlDevice);
    return 0;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    std::wstring verb = Lower(argv[1]);
    if (verb == L"help" || verb == L"/?" || verb == L"-h" || verb == L"--help") return argc == 2 ? Usage(true) : Usage();
    if (verb == L"--version" && argc == 2) {
        printf("tvxctl %s\n", TVX_VERSION_TEXT);
        return 0;
    }
    if (verb == L"list" && argc == 2) return List();
    if ((verb == L"on" || verb == L"off") && argc == 3)
        return Order(verb == L"on" ? tvx::Order::ChargingOn : tvx::Order::ChargingOff, argv[2],
                     verb == L"on" ? "charging on" : "charging off");
    if (verb == L"watch" && argc == 4) {
        std::wstring sub = Lower(argv[2]);
        if (sub == L"start") return Order(tvx::Order::WatchStart, argv[3], "watch started");
        if (sub == L"query") return Order(tvx::Order::WatchQuery, argv[3], "");
    }
    return Usage();
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return Usage();
    int code = Run(argc, argv);
    LocalFree(argv);
    return code;
}

// tvxctl: talks to the Tarvex control devices from a command prompt.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "tvxclient.h"

namespace {

const char USAGE[] =
    "usage: tvxctl list\n"
    "       tvxctl on|off <location>\n"
    "       tvxctl watch start|query <location>\n"
    "<location> is the device's location text as 'tvxctl list' shows it, e.g. Port_#0003.Hub_#0002\n";

int Usage() {
    fputs(USAGE, stderr);
    return 2;
}

std::string Narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

int List() {
    auto devices = tvx::ListAppleDevices();
    if (devices.empty()) {
        printf("no Apple USB device present\n");
        return 0;
    }
    for (const auto& d : devices)
        printf("%s\t%s\t%s\n", Narrow(d.location.empty() ? L"(no location)" : d.location).c_str(),
               Narrow(d.hardwareId).c_str(), Narrow(d.instanceId).c_str());
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
    std::wstring verb = argv[1];
    if (verb == L"list" && argc == 2) return List();
    if ((verb == L"on" || verb == L"off") && argc == 3)
        return Order(verb == L"on" ? tvx::Order::ChargingOn : tvx::Order::ChargingOff, argv[2],
                     verb == L"on" ? "charging on" : "charging off");
    if (verb == L"watch" && argc == 4) {
        std::wstring sub = argv[2];
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

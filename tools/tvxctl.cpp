// tvxctl: talks to the Tarvex control devices from a command prompt.
#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <string>

#include "console_text.h"
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
    "no control device, no such device, access denied, or the control device's own error with\n"
    "Windows' message and number); 2 bad command line.\n";

void Out(const std::wstring& text) { tvx::WriteText(GetStdHandle(STD_OUTPUT_HANDLE), text); }
void Err(const std::wstring& text) { tvx::WriteText(GetStdHandle(STD_ERROR_HANDLE), text); }

std::wstring Wide(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }

// Asked for: standard output, success. A bad command line: standard error, exit code 2.
int Usage(bool asked = false) {
    (asked ? Out : Err)(Wide(USAGE));
    return asked ? 0 : 2;
}

// Verbs are ASCII.
std::wstring Lower(std::wstring s) {
    for (auto& c : s)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

// The control device serving a location, by what each control device says it serves; "unknown"
// when none matched but one could not be asked.
std::wstring ControlDeviceColumn(const std::vector<tvx::ControlDevice>& present, const std::wstring& location) {
    bool unasked = false;
    int number = tvx::ControlDeviceFor(present, location, unasked);
    if (number >= 0) return L"TVXIPC" + std::to_wstring(number);
    return unasked ? L"unknown" : L"none";
}

int List() {
    auto devices = tvx::ListAppleDevices();
    if (devices.empty()) {
        Out(L"no Apple USB device present\n");
        return 0;
    }
    auto present = tvx::ControlDevices();
    std::wstring text = L"LOCATION\tCONTROL DEVICE\tHARDWARE ID\tINSTANCE ID\n";
    for (const auto& d : devices)
        text += (d.location.empty() ? L"(no location)" : d.location) + L"\t" +
                ControlDeviceColumn(present, d.location) + L"\t" + d.hardwareId + L"\t" + d.instanceId + L"\n";
    Out(text);
    return 0;
}

int Order(tvx::Order order, const std::wstring& location, const wchar_t* what) {
    tvx::Reply reply = tvx::Send(location, order);
    if (reply.result != tvx::Result::Ok) {
        Err(L"tvxctl: " + location + L": " + tvx::DescribeReply(reply) + L"\n");
        return 1;
    }
    if (order == tvx::Order::WatchQuery)
        what = reply.answer ? L"data transferred since the watch started" : L"no data transferred";
    Out(location + L": " + what + L" (TVXIPC" + std::to_wstring(reply.controlDevice) + L")\n");
    return 0;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    std::wstring verb = Lower(argv[1]);
    if (verb == L"help" || verb == L"/?" || verb == L"-h" || verb == L"--help")
        return argc == 2 ? Usage(true) : Usage();
    if (verb == L"--version" && argc == 2) {
        Out(L"tvxctl " + Wide(TVX_VERSION_TEXT) + L"\n");
        return 0;
    }
    if (verb == L"list" && argc == 2) return List();
    if ((verb == L"on" || verb == L"off") && argc == 3)
        return Order(verb == L"on" ? tvx::Order::ChargingOn : tvx::Order::ChargingOff, argv[2],
                     verb == L"on" ? L"charging on" : L"charging off");
    if (verb == L"watch" && argc == 4) {
        std::wstring sub = Lower(argv[2]);
        if (sub == L"start") return Order(tvx::Order::WatchStart, argv[3], L"watch started");
        if (sub == L"query") return Order(tvx::Order::WatchQuery, argv[3], L"");
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

// What the installer's files share: its names, its records of the machine's state, and the
// functions of each file, grouped by file.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "paths.h"

#ifndef TVX_VERSION_TEXT
#error "TVX_VERSION_TEXT must name the build's version"
#endif

namespace tvxsetup {

const wchar_t FILTER[] = L"Tarvex";
const wchar_t KERNEL_SERVICE[] = L"Tarvex";
const wchar_t KERNEL_SERVICE_DISPLAY[] = L"Tarvex USB charging filter";
// The temporary kernel service under which a new driver image proves it loads.
const wchar_t PROOF_SERVICE[] = L"TarvexProof";
const wchar_t SERVICE[] = L"OrvantaService";
const wchar_t TASK[] = L"OrvantaUWP";
const wchar_t RECORD_KEY[] = L"SOFTWARE\\Orvanta";
// The entry of Apps & features (and of the deployment tools that read the same key).
const wchar_t UNINSTALL_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvanta";
const wchar_t PUBLISHER[] = L"Orvanta";
const wchar_t LOG_NAME[] = L"tvxsetup.log";
const wchar_t BACKUP_DIR[] = L".tvxsetup-backup";
const wchar_t VERSION[] = L"" TVX_VERSION_TEXT;
// Windows' answers for a driver image it will not trust or not load again (not in MinGW's headers).
const DWORD ERROR_INVALID_IMAGE_HASH_ = 577;
const DWORD ERROR_DRIVER_FAILED_PRIOR_UNLOAD_ = 654;

// What the install copies; the first five are required, the rest come along when present.
const wchar_t* const REQUIRED_FILES[] = {L"Tarvex.sys", L"OrvantaService.exe", L"Quillog.dll", L"logontask.exe",
                                         L"StartupOrvanta.exe"};
const wchar_t* const OPTIONAL_FILES[] = {L"tvxctl.exe", L"tvxsetup.exe", L"Tarvex.cer", L"README.md"};

// Exit codes, also in the usage text.
enum Exit {
    EXIT_DONE = 0,    // installed / removed / status: installed
    EXIT_FAILED = 1,  // not done; nothing changed or every change undone / status: not installed
    EXIT_USAGE = 2,   // bad command line
    // ERROR_SUCCESS_REBOOT_REQUIRED: deployment tools read it as done with a restart to follow, where 3
    // (ERROR_PATH_NOT_FOUND) would read as a failure.
    EXIT_RESTART = 3010,  // done, a restart finishes it
    EXIT_LEFT_OVER = 4,   // failed and some change could not be undone / status: partly installed
};

// The USB class's UpperFilters as stored: its raw data (to see whether it changed), its type and
// its strings, empty ones included.
struct FilterValue {
    bool present = false;
    DWORD type = REG_MULTI_SZ;
    std::wstring raw;
    std::vector<std::wstring> items;
};

// Failed: the value was not changed; WriteFailed: a write was tried and may have taken in part.
enum class Edit { Unchanged, Written, Failed, WriteFailed };

struct ServiceInfo {
    bool exists = false;
    DWORD state = 0;  // SERVICE_RUNNING, ...
    DWORD type = 0;
    DWORD start = 0;  // SERVICE_DEMAND_START, ...
    std::wstring binary;
    DWORD error = 0;  // why it could not be read, when not just absent
};

// What decides whether the USB class may name Tarvex: its kernel service and image as they will
// be after the next restart, loaded now or not (Windows unloads the driver with its last device).
struct KernelHealth {
    ServiceInfo service;
    bool marked = false;
    bool markedUnknown = false;  // only an elevated run can tell whether it is marked for deletion
    bool imageExists = false;
    bool imageGoes = false;  // deleted or moved away at the next restart
    std::wstring image;      // the file the service names, as a DOS path
};

// Denied: only an elevated run may read it (a standard user's status).
enum class TaskState { Present, Absent, Unknown, Denied };

// Where Windows starts from: a disk on a USB bus or a portable installation rules Tarvex out.
struct BootDisk {
    bool usb = false;
    bool portable = false;
    bool known = true;    // false when the disk's bus could not be read
    std::wstring detail;  // each disk and its bus, or why unknown
};

// A USB-class device node Windows could not start because a driver of its stack did not load.
struct DeviceProblem {
    std::wstring instance;
    unsigned long problem;
};

struct Undo {
    std::wstring what;
    // Returns false with the reason when the change stays; sets restart when a restart completes it.
    std::function<bool(std::wstring& why, bool& restart)> run;
};

struct Install {
    std::wstring source;
    std::wstring folder;
    bool atRestart = false;
    bool move = false;       // --move: an installation in another folder may move here
    std::wstring oldFolder;  // that other folder, emptied once the move holds
    std::wstring newImage;   // a new driver image, proven, that the Tarvex service is pointed at
    std::wstring oldImage;   // the image the service named before, retired once all holds
    bool driverWasLoaded = false;
    bool restart = false;  // a restart finishes the install
    std::vector<std::wstring> restartWhy;
    std::vector<std::wstring> notes;
    std::vector<Undo> undo;  // newest last
    std::wstring backup;     // folder of replaced files, kept until the end
};

// The installation folder's security: owned by Administrators; SYSTEM and Administrators may change
// it, users may read and run it, nothing is inherited from above. A LocalSystem service and an
// elevated logon task run programs from it, and an owner may always rewrite the access list.
const wchar_t FOLDER_SECURITY[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// tvxsetup.cpp
extern std::vector<std::wstring> logLines;
std::string Utf8(const std::wstring& text);
void Say(const std::wstring& line);
std::wstring ErrorText(DWORD error);
void Ok(const std::wstring& step, const std::wstring& detail = L"");
void Failed(const std::wstring& step, const std::wstring& why);
extern std::wstring logFolder;
bool InLogFolder();
std::wstring LogPath();
std::wstring LogNote();
void WriteLog();
int Usage(bool asked);
std::wstring DefaultFolder();

// files.cpp
std::wstring Lower(std::wstring s);
bool SameText(const std::wstring& a, const std::wstring& b);
std::wstring ProgramDir();
std::wstring FullPath(const std::wstring& path);
bool Exists(const std::wstring& path);
bool ReadAll(const std::wstring& path, std::string& out);
bool SameContent(const std::wstring& a, const std::wstring& b);
std::wstring FileVersion(const std::wstring& path);
std::wstring WindowsDir();
std::wstring DriversDir();
std::wstring DriverPath();
bool SamePath(const std::wstring& a, const std::wstring& b);
bool IsOurImage(const std::wstring& binary);
std::vector<std::wstring> PendingRemovals();
bool GoesAtRestart(const std::wstring& path);
bool RunProgram(const std::wstring& program, const std::wstring& args, DWORD& exitCode, std::wstring& why);
bool IsOlder(const std::wstring& a, const std::wstring& b);
bool IsInUse(DWORD error);
bool RunsOnWine();
DWORD WindowsMajor();
bool IsX64Driver(const std::wstring& path);
void RemoveBackup(const std::wstring& backup);

// classfilter.cpp
HKEY OpenUsbClassKey(REGSAM access, DWORD& error);
bool ReadFilterValue(FilterValue& value, DWORD& error);
bool ReadFilters(std::vector<std::wstring>& filters, DWORD& error);
bool WriteFilters(const std::vector<std::wstring>& filters, DWORD& error);
bool Names(const std::vector<std::wstring>& filters);
std::wstring Join(const std::vector<std::wstring>& items);
Edit EditFilters(const std::function<std::vector<std::wstring>(const std::vector<std::wstring>&)>& change,
                 std::vector<std::wstring>& result, std::wstring& why);
std::vector<std::wstring> WithoutTarvex(const std::vector<std::wstring>& filters);
bool RemoveFilter(std::wstring& why);

// services.cpp
ServiceInfo QueryService(const wchar_t* name);
bool IsMarkedForDeletion(const wchar_t* name, bool* denied = nullptr);
KernelHealth QueryKernelHealth();
std::wstring KernelProblem(const KernelHealth& h);
bool RestartClears(const KernelHealth& h);
const wchar_t* StateName(DWORD state);
bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs);
HANDLE OpenServiceProcess(const wchar_t* name);
void WaitForProcessEnd(HANDLE process);
bool StopService(const wchar_t* name, std::wstring& why);
bool DeleteServiceNamed(const wchar_t* name, bool& markedOnly, std::wstring& why);
TaskState QueryTask(std::wstring* why = nullptr);
std::wstring RecordValue(const wchar_t* name);
bool WriteRecord(const std::wstring& folder, const std::wstring& version);
bool DeleteRecord();
bool DeleteUninstallEntry();
std::wstring UninstallEntryValue(const wchar_t* name);
bool IsRecordedFolder(const std::wstring& folder);
void StartDriver(const wchar_t* name, bool& started, bool& running, DWORD& error);
std::wstring LoadRefusal(const std::wstring& image, bool started, DWORD error);

// security.cpp
bool IsTrustedOwner(PSID owner);
bool IsWineFileOwner(PSID owner);
std::wstring SidText(PSID sid);
std::wstring LockProblem(const std::wstring& path);
std::wstring ReparsePointOnPath(const std::wstring& folder);
bool SafeFolderSyntax(const std::wstring& folder);
bool SafeFolder(const std::wstring& folder, std::wstring& why);
bool IsElevated();
bool OwnByAdministrators(const std::wstring& path, std::wstring& why);
bool OwnTree(const std::wstring& dir, std::wstring& problem, std::wstring& why);

// machine.cpp
BootDisk QueryBootDisk();
std::wstring BootDiskProblem(const BootDisk& boot);
const wchar_t* LoadProblemName(unsigned long problem);
std::vector<DeviceProblem> UsbLoadFailures();
std::wstring LoadFailureText(const std::vector<DeviceProblem>& failures);

// install_files.cpp
bool CopyOne(Install& in, const std::wstring& from, const std::wstring& to, const std::wstring& label,
             std::vector<std::wstring>& notes, std::wstring& why);
bool MakeFolder(Install& in, const std::wstring& dir, std::wstring& why);
bool CopyTree(Install& in, const std::wstring& from, const std::wstring& to, const std::wstring& label,
              std::vector<std::wstring>& notes, std::wstring& why);
bool StepStopOldService(Install& in, std::wstring& detail, std::wstring& why);
bool StepCopyFiles(Install& in, std::wstring& detail, std::wstring& why);
void EnableRestorePrivilege();
bool StepLockFolder(Install& in, std::wstring& detail, std::wstring& why);

// install_driver.cpp
std::wstring NewImageName(const std::wstring& source);
bool ProveImage(Install& in, const std::wstring& image, std::wstring& why);
bool StepCopyDriver(Install& in, std::wstring& detail, std::wstring& why);
bool PointKernelService(Install& in, const ServiceInfo& old, const std::wstring& image, std::wstring& why);
bool StepKernelService(Install& in, std::wstring& detail, std::wstring& why);
bool StepLoadDriver(Install& in, std::wstring& detail, std::wstring& why);
bool StepRegisterFilter(Install& in, std::wstring& detail, std::wstring& why);

// install.cpp
bool Preflight(Install& in, std::wstring& why);
bool StepService(Install& in, std::wstring& detail, std::wstring& why);
bool StepTask(Install& in, std::wstring& detail, std::wstring& why);
bool StepRecord(Install& in, std::wstring& detail, std::wstring& why);
bool StepUninstallEntry(Install& in, std::wstring& detail, std::wstring& why);
void RetireOldImage(Install& in);
void MoveAway(Install& in);
int RunInstall(Install& in);

// uninstall.cpp
bool AnythingInstalled();
int RunUninstall(const std::wstring& folder, bool& wroteNothing);
bool RemoveFolder(const std::wstring& dir, std::vector<std::wstring>& atRestart, std::wstring& why);

// status.cpp
std::wstring FilterState();
int RunStatus();

}  // namespace tvxsetup

// The application activation manager for Wine, which has none. It is registered as Windows
// registers the real one: an in-process server (HKCR\CLSID\{45BA127D-...}\InprocServer32,
// ThreadingModel Both) whose AppID names the system's DLL surrogate (HKCR\AppID\{...}, DllSurrogate
// empty; the 64-bit build names the 64-bit dllhost.exe by path), so a caller asking for
// CLSCTX_LOCAL_SERVER gets it in a dllhost.exe and one asking for CLSCTX_INPROC_SERVER in its own
// process. Like the real one it keeps a successful activation's arguments for the app in its host
// process, on a thread of its own, until the app asks for them (or 30 s have passed); the test
// plays the app by setting the event "OrvantaActivationFake.AppAsks". Hosted by a surrogate it ends
// that process once no object and no activation is left, or when DllUnregisterServer asks (Wine's
// surrogate never ends by itself). Steered and heard through the environment of the process that
// hosts it (Wine starts the surrogate from the caller, which passes its own on):
//   ORVANTA_ACTIVATION_RESULT   the HRESULT ActivateApplication answers, as hex (default S_OK)
//   ORVANTA_ACTIVATION_RECORD   a file that gets one line per event: "create",
//                               "activate <aumid>|<arguments>|<options>" (UTF-8), "release", and
//                               "asked <aumid>|<arguments>" when the app got its arguments
#include <windows.h>
#include <unknwn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The documented layout; kept apart from the launcher's own so that a wrong value on either side
// shows up as a failed creation.
struct IShellItemArray;
struct IApplicationActivationManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ActivateApplication(LPCWSTR appUserModelId, LPCWSTR arguments, int options,
                                                          DWORD* processId) = 0;
    virtual HRESULT STDMETHODCALLTYPE ActivateForFile(LPCWSTR appUserModelId, IShellItemArray* items, LPCWSTR verb,
                                                      DWORD* processId) = 0;
    virtual HRESULT STDMETHODCALLTYPE ActivateForProtocol(LPCWSTR appUserModelId, IShellItemArray* items,
                                                          DWORD* processId) = 0;
};

const CLSID kClsid = {0x45ba127d, 0x10a8, 0x46ea, {0x8a, 0xb7, 0x56, 0xea, 0x90, 0x78, 0x94, 0x3c}};
const IID kIid = {0x2e941141, 0x7f97, 0x4756, {0xba, 0x1d, 0x9d, 0xec, 0xde, 0x89, 0x4a, 0x3d}};
const wchar_t kClsidKey[] = L"{45BA127D-10A8-46EA-8AB7-56EA9078943C}";

const wchar_t kAppAsksEvent[] = L"OrvantaActivationFake.AppAsks";
const wchar_t kHostMutex[] = L"OrvantaActivationFake.Host";
const wchar_t kEndHostEvent[] = L"OrvantaActivationFake.EndHost";
constexpr DWORD kArgumentsKeptMs = 30000;

HMODULE g_module;
volatile LONG g_live;     // objects and server locks
volatile LONG g_created;  // objects ever made
volatile LONG g_pending;  // activations whose arguments the app has not asked for yet

std::string Utf8(LPCWSTR text) {
    if (!text) return "(null)";
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

void Record(const std::string& line) {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("ORVANTA_ACTIVATION_RECORD", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    if (FILE* f = fopen(path, "ab")) {
        fprintf(f, "%s\n", line.c_str());
        fclose(f);
    }
}

HRESULT ChosenResult() {
    char text[32];
    DWORD n = GetEnvironmentVariableA("ORVANTA_ACTIVATION_RESULT", text, sizeof text);
    if (n == 0 || n >= sizeof text) return S_OK;
    return static_cast<HRESULT>(strtoul(text, nullptr, 16));
}

DWORD WINAPI ServeArguments(LPVOID parameter) {
    std::string* activation = static_cast<std::string*>(parameter);
    HANDLE asks = CreateEventW(nullptr, FALSE, FALSE, kAppAsksEvent);
    if (asks && WaitForSingleObject(asks, kArgumentsKeptMs) == WAIT_OBJECT_0) Record("asked " + *activation);
    if (asks) CloseHandle(asks);
    delete activation;
    InterlockedDecrement(&g_pending);
    return 0;
}

// The arguments live on this thread, in whatever process hosts the manager, and go with it.
void KeepForTheApp(const std::string& activation) {
    InterlockedIncrement(&g_pending);
    std::string* kept = new std::string(activation);
    HANDLE thread = CreateThread(nullptr, 0, ServeArguments, kept, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
    } else {
        delete kept;
        InterlockedDecrement(&g_pending);
    }
}

class Manager : public IApplicationActivationManager {
public:
    Manager() {
        InterlockedIncrement(&g_live);
        InterlockedIncrement(&g_created);
    }
    virtual ~Manager() { InterlockedDecrement(&g_live); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid)) {
            *out = static_cast<IApplicationActivationManager*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            Record("release");
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE ActivateApplication(LPCWSTR appUserModelId, LPCWSTR arguments, int options,
                                                  DWORD* processId) override {
        if (!processId) return E_POINTER;
        *processId = 0;
        Record("activate " + Utf8(appUserModelId) + "|" + Utf8(arguments) + "|" + std::to_string(options));
        if (!appUserModelId) return E_INVALIDARG;
        HRESULT hr = ChosenResult();
        if (SUCCEEDED(hr)) {
            // Stands for the started app's process, which is all a caller gets on success.
            *processId = GetCurrentProcessId();
            KeepForTheApp(Utf8(appUserModelId) + "|" + Utf8(arguments));
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE ActivateForFile(LPCWSTR, IShellItemArray*, LPCWSTR, DWORD* processId) override {
        if (processId) *processId = 0;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ActivateForProtocol(LPCWSTR, IShellItemArray*, DWORD* processId) override {
        if (processId) *processId = 0;
        return E_NOTIMPL;
    }

private:
    volatile LONG refs_ = 1;
};

class Factory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object: counting it would never free anything.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Manager* manager = new Manager();
        HRESULT hr = manager->QueryInterface(riid, out);
        if (SUCCEEDED(hr)) Record("create");
        manager->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            InterlockedIncrement(&g_live);
        else
            InterlockedDecrement(&g_live);
        return S_OK;
    }
};

Factory g_factory;

bool HostedBySurrogate() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* name = wcsrchr(path, L'\\');
    return _wcsicmp(name ? name + 1 : path, L"dllhost.exe") == 0;
}

// Holds the host's mutex for as long as the host lives, and ends the host when it has nothing left
// to serve (or never got an object), or when asked to.
DWORD WINAPI WatchHost(LPVOID) {
    HANDLE alive = CreateMutexW(nullptr, TRUE, kHostMutex);
    HANDLE end = CreateEventW(nullptr, TRUE, FALSE, kEndHostEvent);
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (end && WaitForSingleObject(end, 50) == WAIT_OBJECT_0) break;
        if (!end) Sleep(50);
        const bool idle = g_live == 0 && g_pending == 0;
        if (idle && (g_created > 0 || GetTickCount64() - start > kArgumentsKeptMs)) break;
    }
    // Abrupt on purpose: the surrogate's COM threads are still about, and nothing is left to save.
    TerminateProcess(GetCurrentProcess(), 0);
    (void)alive;
    return 0;
}

void WatchHostOnce() {
    static volatile LONG started = 0;
    if (InterlockedExchange(&started, 1) == 0) {
        HANDLE thread = CreateThread(nullptr, 0, WatchHost, nullptr, 0, nullptr);
        if (thread) CloseHandle(thread);
    }
}

// Ends a surrogate that still hosts the manager (from an earlier run) and waits until it has gone.
void EndHost() {
    HANDLE end = CreateEventW(nullptr, TRUE, FALSE, kEndHostEvent);
    HANDLE alive = CreateMutexW(nullptr, FALSE, kHostMutex);
    if (end) SetEvent(end);
    if (alive) {
        const DWORD waited = WaitForSingleObject(alive, 10000);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ReleaseMutex(alive);
        CloseHandle(alive);
    }
    if (end) {
        ResetEvent(end);
        CloseHandle(end);
    }
}

LONG SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    if (HostedBySurrogate()) WatchHostOnce();
    return g_factory.QueryInterface(riid, out);
}

// Kept arguments are served from this DLL's code: it stays while any wait for the app.
extern "C" HRESULT WINAPI DllCanUnloadNow() { return g_live == 0 && g_pending == 0 ? S_OK : S_FALSE; }

// A client's CoCreateInstance looks in the registry view of its own bitness, which is this DLL's:
// the 32-bit view for the shipped launcher, the 64-bit one for its x86-64 twin.
constexpr REGSAM kOwnView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

extern "C" HRESULT WINAPI DllRegisterServer() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return E_FAIL;
    const std::wstring classKey = std::wstring(L"CLSID\\") + kClsidKey;
    const std::wstring appIdKey = std::wstring(L"AppID\\") + kClsidKey;
    HKEY key;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, classKey.c_str(), 0, nullptr, 0, KEY_WRITE | kOwnView, nullptr,
                                  &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = SetString(key, L"AppID", kClsidKey);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(HKEY_CLASSES_ROOT, (classKey + L"\\InprocServer32").c_str(), 0, nullptr, 0,
                                 KEY_WRITE | kOwnView, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = SetString(key, nullptr, path);
    if (status == ERROR_SUCCESS) status = SetString(key, L"ThreadingModel", L"Both");
    RegCloseKey(key);
    if (status == ERROR_SUCCESS)
        status = RegCreateKeyExW(HKEY_CLASSES_ROOT, appIdKey.c_str(), 0, nullptr, 0, KEY_WRITE | kOwnView, nullptr,
                                 &key, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    // Empty names the system's own surrogate, dllhost.exe of the server's bitness. Wine 8 then always
    // starts the 32-bit one for a 64-bit caller, which cannot load a 64-bit server: for that server
    // the 64-bit dllhost.exe is named by its path, which Windows equally accepts.
    wchar_t surrogate[MAX_PATH] = {};
    if (sizeof(void*) == 8) {
        UINT length = GetSystemDirectoryW(surrogate, MAX_PATH - 16);
        if (length == 0 || length >= MAX_PATH - 16) status = ERROR_PATH_NOT_FOUND;
        wcscat(surrogate, L"\\dllhost.exe");
    }
    if (status == ERROR_SUCCESS) status = SetString(key, L"DllSurrogate", surrogate);
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(status);
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    EndHost();
    LONG result = ERROR_SUCCESS;
    for (const wchar_t* parent : {L"CLSID", L"AppID"}) {
        HKEY root;
        LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, parent, 0, KEY_ALL_ACCESS | kOwnView, &root);
        if (status == ERROR_SUCCESS) {
            status = RegDeleteTreeW(root, kClsidKey);
            RegCloseKey(root);
        }
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && result == ERROR_SUCCESS) result = status;
    }
    return HRESULT_FROM_WIN32(result);
}

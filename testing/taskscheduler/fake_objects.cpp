// The fake's service and folder objects, and the registered tasks they hand out. The COM plumbing
// is in fake_com.h, the task definition in fake_definition.h.
#include <initguid.h>

#include "fake_definition.h"

namespace fake_taskschd {

const IID IID_ILogonTrigger = {0x72dade38, 0xfae4, 0x4b3e, {0xba, 0xf4, 0x5d, 0x00, 0x9a, 0xf0, 0x2b, 0x1c}};

namespace {

// "Required element or attribute missing": what the service answers for a definition its task
// schema rejects, such as one without an action.
const HRESULT kMissingNode = static_cast<HRESULT>(0x80041319);

class RegisteredTask : public Com<IRegisteredTask> {
public:
    explicit RegisteredTask(std::wstring name) : Com("RegisteredTask", IID_IRegisteredTask), name_(std::move(name)) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override { return Text("IRegisteredTask.get_Name", name_, name); }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) override {
        return Text("IRegisteredTask.get_Path", L"\\" + name_, path);
    }
    HRESULT STDMETHODCALLTYPE get_State(TASK_STATE* state) override {
        if (!state) return Done("IRegisteredTask.get_State()", E_POINTER);
        *state = TASK_STATE_READY;
        return Done("IRegisteredTask.get_State()", S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* enabled) override {
        if (!enabled) return Done("IRegisteredTask.get_Enabled()", E_POINTER);
        *enabled = VARIANT_TRUE;
        return Done("IRegisteredTask.get_Enabled()", S_OK);
    }
    FAKE_NOT_MODELLED(IRegisteredTask, put_Enabled, VARIANT_BOOL)
    FAKE_NOT_MODELLED(IRegisteredTask, Run, VARIANT, IRunningTask**)
    FAKE_NOT_MODELLED(IRegisteredTask, RunEx, VARIANT, LONG, LONG, BSTR, IRunningTask**)
    FAKE_NOT_MODELLED(IRegisteredTask, GetInstances, LONG, IRunningTaskCollection**)
    FAKE_NOT_MODELLED(IRegisteredTask, get_LastRunTime, DATE*)
    FAKE_NOT_MODELLED(IRegisteredTask, get_LastTaskResult, LONG*)
    FAKE_NOT_MODELLED(IRegisteredTask, get_NumberOfMissedRuns, LONG*)
    FAKE_NOT_MODELLED(IRegisteredTask, get_NextRunTime, DATE*)
    FAKE_NOT_MODELLED(IRegisteredTask, get_Definition, ITaskDefinition**)
    FAKE_NOT_MODELLED(IRegisteredTask, get_Xml, BSTR*)
    FAKE_NOT_MODELLED(IRegisteredTask, GetSecurityDescriptor, LONG, BSTR*)
    FAKE_NOT_MODELLED(IRegisteredTask, SetSecurityDescriptor, BSTR, LONG)
    FAKE_NOT_MODELLED(IRegisteredTask, Stop, LONG)
    FAKE_NOT_MODELLED(IRegisteredTask, GetRunTimes, const LPSYSTEMTIME, const LPSYSTEMTIME, DWORD*, LPSYSTEMTIME*)

private:
    HRESULT Text(const char* call, const std::wstring& value, BSTR* out) {
        std::string text = std::string(call) + "()";
        if (!out) return Done(text, E_POINTER);
        *out = SysAllocString(value.c_str());
        return Done(text, *out ? S_OK : E_OUTOFMEMORY);
    }

    std::wstring name_;
};

// Task names are relative to the root folder; a leading "\" names the same task.
std::wstring TaskNameOf(BSTR path) {
    std::wstring name = path ? std::wstring(path, SysStringLen(path)) : std::wstring();
    if (!name.empty() && name[0] == L'\\') name.erase(0, 1);
    return name;
}

// A group registration names its group in the user argument; the service maps it to a security
// identifier and refuses a name that maps to none.
HRESULT CheckAccount(const VARIANT& user, TASK_LOGON_TYPE logonType) {
    if (logonType != TASK_LOGON_GROUP) return S_OK;
    if (user.vt != VT_BSTR || SysStringLen(user.bstrVal) == 0) return HRESULT_FROM_WIN32(ERROR_NONE_MAPPED);
    if (!NamedGroup(user.bstrVal).empty()) return S_OK;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, user.bstrVal, sid, &sidSize, domain, &domainSize, &use))
        return HRESULT_FROM_WIN32(ERROR_NONE_MAPPED);
    return S_OK;
}

class TaskFolder : public Com<ITaskFolder> {
public:
    TaskFolder() : Com("TaskFolder", IID_ITaskFolder) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override { return Root("ITaskFolder.get_Name", name); }
    HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) override { return Root("ITaskFolder.get_Path", path); }
    // Subfolders are not modelled; the tool under test works in the root folder only.
    FAKE_NOT_MODELLED(ITaskFolder, GetFolder, BSTR, ITaskFolder**)
    FAKE_NOT_MODELLED(ITaskFolder, GetFolders, LONG, ITaskFolderCollection**)
    FAKE_NOT_MODELLED(ITaskFolder, CreateFolder, BSTR, VARIANT, ITaskFolder**)
    FAKE_NOT_MODELLED(ITaskFolder, DeleteFolder, BSTR, LONG)

    HRESULT STDMETHODCALLTYPE GetTask(BSTR path, IRegisteredTask** task) override {
        std::string text = "ITaskFolder.GetTask(" + ShowText(path) + ")";
        if (!task) return Done(text, E_POINTER);
        *task = nullptr;
        HRESULT hr;
        if (Injected("ITaskFolder.GetTask", &hr)) return Done(text, hr);
        std::wstring name = TaskNameOf(path);
        if (!ValidTaskName(name) || !TaskExists(name)) return Done(text, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        auto* made = new RegisteredTask(name);
        *task = made;
        return Done(text, S_OK, made);
    }
    FAKE_NOT_MODELLED(ITaskFolder, GetTasks, LONG, IRegisteredTaskCollection**)

    HRESULT STDMETHODCALLTYPE DeleteTask(BSTR name, LONG flags) override {
        std::string text = "ITaskFolder.DeleteTask(" + ShowText(name) + ", " + std::to_string(flags) + ")";
        HRESULT hr;
        if (Injected("ITaskFolder.DeleteTask", &hr)) return Done(text, hr);
        std::wstring task = TaskNameOf(name);
        if (task.empty()) return Done(text, E_INVALIDARG);
        if (!ValidTaskName(task)) return Done(text, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        return Done(text, RemoveTask(task));
    }

    // Registering from XML is not modelled; the tool under test builds a definition.
    FAKE_NOT_MODELLED(ITaskFolder, RegisterTask, BSTR, BSTR, LONG, VARIANT, VARIANT, TASK_LOGON_TYPE, VARIANT,
                      IRegisteredTask**)

    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags, VARIANT user,
                                                     VARIANT password, TASK_LOGON_TYPE logonType, VARIANT sddl,
                                                     IRegisteredTask** task) override {
        TaskDefinition* own = OwnDefinition(definition);
        std::string text = "ITaskFolder.RegisterTaskDefinition(" + ShowText(path) + ", " +
                           (own          ? own->Name()
                            : definition ? "foreign"
                                         : "null") +
                           ", " + std::to_string(flags) + ", " + ShowVariant(user) + ", " + ShowVariant(password) +
                           ", " + std::to_string(logonType) + ", " + ShowVariant(sddl) + ")";
        if (task) *task = nullptr;
        HRESULT hr;
        if (Injected("ITaskFolder.RegisterTaskDefinition", &hr)) return Done(text, hr);
        if (!own) return Done(text, E_INVALIDARG);

        std::wstring name = TaskNameOf(path);
        // A null path asks for a generated name, which is not modelled.
        if (name.empty()) return Done(text, E_NOTIMPL);
        if (!ValidTaskName(name)) return Done(text, HRESULT_FROM_WIN32(ERROR_INVALID_NAME));
        bool create = (flags & TASK_CREATE) != 0;
        bool update = (flags & TASK_UPDATE) != 0;
        bool validateOnly = (flags & TASK_VALIDATE_ONLY) != 0;
        if (!create && !update && !validateOnly) return Done(text, E_INVALIDARG);
        bool exists = TaskExists(name);
        if (exists && !update && !validateOnly) return Done(text, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
        if (!exists && !create && !validateOnly) return Done(text, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

        Properties properties;
        int actions;
        {
            std::lock_guard<std::mutex> hold(bagLock);
            properties = own->Bag()->properties;
            actions = own->Bag()->actions;
        }
        if (actions == 0) return Done(text, kMissingNode);
        for (int i = 0; i < actions; ++i) {
            auto command = properties.find("Actions[" + std::to_string(i) + "].Path");
            if (command == properties.end() || command->second == "\"\"") return Done(text, kMissingNode);
        }
        hr = CheckAccount(user, logonType);
        if (FAILED(hr) || validateOnly) return Done(text, hr);

        properties["Registration.Folder"] = "\"\\\"";
        properties["Registration.Path"] = ShowText(path);
        properties["Registration.Flags"] = std::to_string(flags);
        properties["Registration.User"] = ShowVariant(user);
        properties["Registration.Password"] = ShowVariant(password);
        properties["Registration.LogonType"] = std::to_string(logonType);
        properties["Registration.Sddl"] = ShowVariant(sddl);
        hr = SaveTask(name, properties);
        if (FAILED(hr) || !task) return Done(text, hr);
        auto* made = new RegisteredTask(name);
        *task = made;
        return Done(text, S_OK, made);
    }

    FAKE_NOT_MODELLED(ITaskFolder, GetSecurityDescriptor, LONG, BSTR*)
    FAKE_NOT_MODELLED(ITaskFolder, SetSecurityDescriptor, BSTR, LONG)

private:
    HRESULT Root(const char* call, BSTR* out) {
        std::string text = std::string(call) + "()";
        if (!out) return Done(text, E_POINTER);
        *out = SysAllocString(L"\\");
        return Done(text, *out ? S_OK : E_OUTOFMEMORY);
    }
};

std::wstring ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(name, &size);
    return name;
}

class TaskService : public Com<ITaskService> {
public:
    TaskService() : Com("TaskService", IID_ITaskService) {}

    HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, ITaskFolder** folder) override {
        std::string text = "ITaskService.GetFolder(" + ShowText(path) + ")";
        if (!folder) return Done(text, E_POINTER);
        *folder = nullptr;
        HRESULT hr;
        if (Injected("ITaskService.GetFolder", &hr)) return Done(text, hr);
        if (!connected_) return Done(text, HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED));
        bool root = !path || SysStringLen(path) == 0 || std::wstring(path) == L"\\";
        if (!root) return Done(text, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        auto* made = new TaskFolder();
        *folder = made;
        return Done(text, S_OK, made);
    }
    FAKE_NOT_MODELLED(ITaskService, GetRunningTasks, LONG, IRunningTaskCollection**)
    HRESULT STDMETHODCALLTYPE NewTask(DWORD flags, ITaskDefinition** definition) override {
        return Give("ITaskService.NewTask", std::to_string(flags), definition, [] { return new TaskDefinition(); });
    }
    HRESULT STDMETHODCALLTYPE Connect(VARIANT server, VARIANT user, VARIANT domain, VARIANT password) override {
        std::string text = "ITaskService.Connect(" + ShowVariant(server) + ", " + ShowVariant(user) + ", " +
                           ShowVariant(domain) + ", " + ShowVariant(password) + ")";
        HRESULT hr;
        if (Injected("ITaskService.Connect", &hr)) return Done(text, hr);
        bool local =
            IsEmptyVariant(server) || (server.vt == VT_BSTR && lstrcmpiW(server.bstrVal, ComputerName().c_str()) == 0);
        // Remote computers and other accounts are not modelled.
        if (!local || !IsEmptyVariant(user) || !IsEmptyVariant(domain) || !IsEmptyVariant(password))
            return Done(text, E_NOTIMPL);
        connected_ = true;
        return Done(text, S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_Connected(VARIANT_BOOL* connected) override {
        if (!connected) return Done("ITaskService.get_Connected()", E_POINTER);
        *connected = connected_ ? VARIANT_TRUE : VARIANT_FALSE;
        return Done("ITaskService.get_Connected()", S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_TargetServer(BSTR* server) override {
        return ConnectedText("ITaskService.get_TargetServer", ComputerName(), server);
    }
    HRESULT STDMETHODCALLTYPE get_ConnectedUser(BSTR* user) override {
        wchar_t name[256] = {};
        DWORD size = 256;
        GetUserNameW(name, &size);
        return ConnectedText("ITaskService.get_ConnectedUser", name, user);
    }
    HRESULT STDMETHODCALLTYPE get_ConnectedDomain(BSTR* domain) override {
        return ConnectedText("ITaskService.get_ConnectedDomain", ComputerName(), domain);
    }
    HRESULT STDMETHODCALLTYPE get_HighestVersion(DWORD* version) override {
        if (!version) return Done("ITaskService.get_HighestVersion()", E_POINTER);
        *version = MAKELONG(2, 1);
        return Done("ITaskService.get_HighestVersion()", S_OK);
    }

private:
    HRESULT ConnectedText(const char* call, const std::wstring& value, BSTR* out) {
        std::string text = std::string(call) + "()";
        if (!out) return Done(text, E_POINTER);
        *out = nullptr;
        if (!connected_) return Done(text, HRESULT_FROM_WIN32(ERROR_ONLY_IF_CONNECTED));
        *out = SysAllocString(value.c_str());
        return Done(text, *out ? S_OK : E_OUTOFMEMORY);
    }

    bool connected_ = false;
};

}  // namespace

HRESULT CreateTaskService(REFIID riid, void** object) {
    Configure();
    std::string text = "ClassFactory IClassFactory.CreateInstance(" + IidName(riid) + ")";
    if (!object) {
        Journal(text + " = " + Hex(E_POINTER));
        return E_POINTER;
    }
    *object = nullptr;
    HRESULT hr;
    if (Injected("IClassFactory.CreateInstance", &hr)) {
        Journal(text + " = " + Hex(hr));
        return hr;
    }
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, IID_ITaskService)) {
        Journal(text + " = " + Hex(E_NOINTERFACE));
        return E_NOINTERFACE;
    }
    auto* service = new TaskService();
    *object = static_cast<ITaskService*>(service);
    Journal(text + " = " + Hex(S_OK) + " -> " + service->Name());
    return S_OK;
}

}  // namespace fake_taskschd

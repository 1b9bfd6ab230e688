// The Task Scheduler work of the tool: one worker registers the logon task, the other deletes it.
// Each step is a function returning an HRESULT; the owners declared in the worker release, on every
// way out, the exec action, then the root folder, then the task definition, then the service.
#include <initguid.h>

#include <windows.h>
#include <objbase.h>
#include <taskschd.h>

#include <cstring>

#include "com_owners.h"
#include "logontask.h"
#include "platform.h"

LogonTaskRequestRecord LogonTaskRequest = {};

namespace {

struct SetupMessages {
    const wchar_t* coInitializeEx;
    const wchar_t* coInitializeSecurity;
    const wchar_t* createService;
    const wchar_t* connect;
    const wchar_t* rootFolder;
};

const SetupMessages kEnableMessages = {
    L"<LogonStart> EnableLogonStartup - CoInitializeEx failed: %x",
    L"<LogonStart> EnableLogonStartup - CoInitializeSecurity failed: %x",
    L"<LogonStart> EnableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
    L"<LogonStart> EnableLogonStartup - ITaskService::Connect failed: %x",
    L"<LogonStart> EnableLogonStartup - Cannot get Root Folder pointer: %x",
};

const SetupMessages kDisableMessages = {
    L"<LogonStart> DisableLogonStartup - CoInitializeEx failed: %x",
    L"<LogonStart> DisableLogonStartup - CoInitializeSecurity failed: %x",
    L"<LogonStart> DisableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
    L"<LogonStart> DisableLogonStartup - ITaskService::Connect failed: %x",
    L"<LogonStart> DisableLogonStartup - Cannot get Root Folder pointer: %x",
};

HRESULT Fail(const wchar_t* message, HRESULT hr) {
    LogonStartLog(message, hr);
    return hr;
}

// The worker thread's membership of the multithreaded apartment; once joined it is left on every
// path, including a failed security set-up.
class ComApartment {
public:
    ComApartment() = default;
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (joined_) logonTaskPlatform.coUninitialize();
    }

    HRESULT Join(const SetupMessages& messages) {
        HRESULT hr = logonTaskPlatform.coInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) return Fail(messages.coInitializeEx, hr);
        joined_ = true;
        // Process security can be set once per process; a later worker finds it set and goes on.
        hr = logonTaskPlatform.coInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        if (FAILED(hr) && hr != RPC_E_TOO_LATE) return Fail(messages.coInitializeSecurity, hr);
        return S_OK;
    }

private:
    bool joined_ = false;
};

HRESULT OpenRootFolder(const SetupMessages& messages, ComRef<ITaskService>& service, ComRef<ITaskFolder>& root) {
    HRESULT hr = logonTaskPlatform.coCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_ITaskService, service.OutVoid());
    hr = Obtained(hr, service);
    if (FAILED(hr)) return Fail(messages.createService, hr);

    {
        OwnedVariant server, user, domain, password;
        hr = service->Connect(server.v, user.v, domain.v, password.v);
    }
    if (FAILED(hr)) {
        Fail(messages.connect, hr);
        service.Reset();
        return hr;
    }

    OwnedBstr rootPath(L"\\");
    hr = rootPath ? service->GetFolder(rootPath.Get(), root.Out()) : E_OUTOFMEMORY;
    // What decides is whether a folder came back; a success without one must not pass as success.
    if (!root) {
        hr = Fail(messages.rootFolder, FAILED(hr) ? hr : E_POINTER);
        service.Reset();
        return hr;
    }
    return S_OK;
}

HRESULT SetRegistrationInfo(ITaskDefinition* task, const LogonTaskRequestRecord& request) {
    if (!request.author && !request.description) return S_OK;
    ComRef<IRegistrationInfo> info;
    HRESULT hr = Obtained(task->get_RegistrationInfo(info.Out()), info);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot get identification pointer: %x", hr);
    if (request.author) {
        OwnedBstr author(request.author);
        hr = author ? info->put_Author(author.Get()) : E_OUTOFMEMORY;
        // The owner releases the registration information after the message, as the worker ends.
        if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot put identification info: %x", hr);
    }
    if (request.description) {
        OwnedBstr description(request.description);
        hr = description ? info->put_Description(description.Get()) : E_OUTOFMEMORY;
        if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot put task description: %x", hr);
    }
    return S_OK;
}

HRESULT AddLogonTrigger(ITaskDefinition* task) {
    ComRef<ITriggerCollection> triggers;
    HRESULT hr = Obtained(task->get_Triggers(triggers.Out()), triggers);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot get trigger collection: %x", hr);
    ComRef<ITrigger> trigger;
    hr = triggers->Create(TASK_TRIGGER_LOGON, trigger.Out());
    triggers.Reset();
    hr = Obtained(hr, trigger);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot add logon trigger to the Task %x", hr);
    // Nothing is set on the trigger: it fires at the logon of any user.
    return S_OK;
}

HRESULT SetPrincipal(ITaskDefinition* task) {
    ComRef<IPrincipal> principal;
    HRESULT hr = Obtained(task->get_Principal(principal.Out()), principal);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot get principal pointer: %x", hr);

    OwnedBstr id(L"Principal1");
    if (!id) {
        principal.Reset();
        return Fail(L"<LogonStart> EnableLogonStartup - Cannot put the principal ID: %x", E_OUTOFMEMORY);
    }
    // The identifier and the logon type are wanted but not required; the run level is required.
    hr = principal->put_Id(id.Get());
    if (FAILED(hr)) LogonStartLog(L"<LogonStart> EnableLogonStartup - Cannot put the principal ID: %x", hr);
    hr = principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN);
    if (FAILED(hr)) LogonStartLog(L"<LogonStart> EnableLogonStartup - Cannot put principal logon type: %x", hr);
    hr = principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST);
    principal.Reset();
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot put principal run level: %x", hr);
    return S_OK;
}

HRESULT SetSettings(ITaskDefinition* task, const LogonTaskRequestRecord& request) {
    const wchar_t* const settingFailed = L"<LogonStart> EnableLogonStartup - Cannot put setting info: %x";
    ComRef<ITaskSettings> settings;
    HRESULT hr = Obtained(task->get_Settings(settings.Out()), settings);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot get settings pointer: %x", hr);

    // The settings' own results are not examined: each only relaxes a default.
    settings->put_AllowHardTerminate(VARIANT_FALSE);
    settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
    OwnedBstr noLimit(L"PT0S");
    if (!noLimit) {
        settings.Reset();
        return Fail(settingFailed, E_OUTOFMEMORY);
    }
    settings->put_ExecutionTimeLimit(noLimit.Get());
    if (request.runInParallel) settings->put_MultipleInstances(TASK_INSTANCES_PARALLEL);

    ComRef<IIdleSettings> idle;
    hr = Obtained(settings->get_IdleSettings(idle.Out()), idle);
    if (SUCCEEDED(hr)) {
        idle->put_StopOnIdleEnd(VARIANT_FALSE);
        idle.Reset();
    }
    settings.Reset();
    if (FAILED(hr)) return Fail(settingFailed, hr);
    return S_OK;
}

HRESULT AddExecAction(ITaskDefinition* task, ComRef<IExecAction>& exec) {
    ComRef<IActionCollection> actions;
    HRESULT hr = Obtained(task->get_Actions(actions.Out()), actions);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot get Task collection pointer: %x", hr);
    ComRef<IAction> action;
    hr = actions->Create(TASK_ACTION_EXEC, action.Out());
    actions.Reset();
    hr = Obtained(hr, action);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot create ActionCollection: %x", hr);
    hr = action->QueryInterface(IID_IExecAction, exec.OutVoid());
    action.Reset();
    hr = Obtained(hr, exec);
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot get IID_IExecAction Interface: %x", hr);
    return S_OK;
}

HRESULT SetExecCommand(IExecAction* exec, const LogonTaskRequestRecord& request) {
    OwnedBstr path(request.executablePath);
    HRESULT hr = path ? exec->put_Path(path.Get()) : E_OUTOFMEMORY;
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot set path of executable: %x", hr);
    // Set explicitly, so the task carries no arguments from anywhere else.
    OwnedBstr noArguments(L"");
    hr = noArguments ? exec->put_Arguments(noArguments.Get()) : E_OUTOFMEMORY;
    if (FAILED(hr)) return Fail(L"<LogonStart> EnableLogonStartup - Cannot set arguments of executable: %x", hr);
    return S_OK;
}

// The local name of the built-in Administrators group (S-1-5-32-544), which differs by language.
// Taken in UTF-16 and passed on as it is: through the ANSI code page a name in another script would
// arrive as question marks. Left empty when the look-up fails; the registration then decides.
void LookUpAdministratorsName(wchar_t (&wideName)[256]) {
    wchar_t domain[256];
    memset(wideName, 0, sizeof wideName);
    memset(domain, 0, sizeof domain);
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (logonTaskPlatform.allocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                                   DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
        // A failed look-up may have written part of a name; none is better than a wrong one.
        if (!logonTaskPlatform.lookupAccountSidW(nullptr, administrators, wideName, &nameSize, domain, &domainSize,
                                                 &use))
            memset(wideName, 0, sizeof wideName);
        FreeSid(administrators);
    }
    wideName[255] = L'\0';
}

HRESULT Register(ITaskFolder* root, ITaskDefinition* task, const LogonTaskRequestRecord& request) {
    const wchar_t* const savingFailed = L"<LogonStart> EnableLogonStartup - Error saving the Task : %x";
    wchar_t groupName[256];
    LookUpAdministratorsName(groupName);

    OwnedBstr name(request.taskName);
    OwnedBstr userText(groupName);
    OwnedBstr sddlText(L"");
    if (!name || !userText || !sddlText) return Fail(savingFailed, E_OUTOFMEMORY);
    OwnedVariant user, password, sddl;
    user.v.vt = VT_BSTR;
    user.v.bstrVal = userText.Detach();
    sddl.v.vt = VT_BSTR;
    sddl.v.bstrVal = sddlText.Detach();

    ComRef<IRegisteredTask> registered;
    HRESULT hr = root->RegisterTaskDefinition(name.Get(), task, TASK_CREATE, user.v, password.v, TASK_LOGON_GROUP,
                                              sddl.v, registered.Out());
    user.Clear();
    password.Clear();
    sddl.Clear();
    if (FAILED(hr)) return Fail(savingFailed, hr);
    return S_OK;
}

}  // namespace

DWORD WINAPI CreateTaskWorker(LPVOID) {
    const LogonTaskRequestRecord& request = LogonTaskRequest;
    ComApartment com;
    HRESULT hr = com.Join(kEnableMessages);
    if (FAILED(hr)) return hr;

    // Declared in the reverse of the order in which an ending worker releases them.
    ComRef<ITaskService> service;
    ComRef<ITaskDefinition> task;
    ComRef<ITaskFolder> root;
    ComRef<IExecAction> exec;

    hr = OpenRootFolder(kEnableMessages, service, root);
    if (FAILED(hr)) return hr;

    // Whatever was registered under the name before goes, so nothing of it survives; a missing task
    // is no failure, and one that cannot be removed makes the registration below fail.
    OwnedBstr oldName(request.taskName);
    if (!oldName) return E_OUTOFMEMORY;
    root->DeleteTask(oldName.Get(), 0);

    hr = service->NewTask(0, task.Out());
    service.Reset();
    hr = Obtained(hr, task);
    if (FAILED(hr))
        return Fail(L"<LogonStart> EnableLogonStartup - Failed to CoCreate an instance of the TaskService class: %x",
                    hr);

    hr = SetRegistrationInfo(task.Get(), request);
    if (SUCCEEDED(hr)) hr = AddLogonTrigger(task.Get());
    if (SUCCEEDED(hr)) hr = SetPrincipal(task.Get());
    if (SUCCEEDED(hr)) hr = SetSettings(task.Get(), request);
    if (SUCCEEDED(hr)) hr = AddExecAction(task.Get(), exec);
    if (SUCCEEDED(hr)) hr = SetExecCommand(exec.Get(), request);
    if (SUCCEEDED(hr)) hr = Register(root.Get(), task.Get(), request);
    return FAILED(hr) ? hr : 0;
}

DWORD WINAPI DeleteTaskWorker(LPVOID) {
    ComApartment com;
    HRESULT hr = com.Join(kDisableMessages);
    if (FAILED(hr)) return hr;

    ComRef<ITaskService> service;
    ComRef<ITaskFolder> root;
    hr = OpenRootFolder(kDisableMessages, service, root);
    if (FAILED(hr)) return hr;

    // A missing task is already what was asked for, so the removal's own result is not examined.
    OwnedBstr name(LogonTaskRequest.taskName);
    if (name) root->DeleteTask(name.Get(), 0);
    service.Reset();
    root.Reset();
    return name ? 0 : E_OUTOFMEMORY;
}

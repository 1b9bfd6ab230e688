// The fake's COM objects. Every call is journaled with its arguments and result, every AddRef and
// Release with the count it leaves. Objects are never freed: a call after the last Release is
// journaled (marked "[released]") instead of crashing the tool under test.
#include <initguid.h>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "fake_state.h"
#include "fake_taskschd.h"

namespace fake_taskschd {

const IID IID_ILogonTrigger = {0x72dade38, 0xfae4, 0x4b3e, {0xba, 0xf4, 0x5d, 0x00, 0x9a, 0xf0, 0x2b, 0x1c}};

namespace {

// "Required element or attribute missing": what the service answers for a definition its task
// schema rejects, such as one without an action.
const HRESULT kMissingNode = static_cast<HRESULT>(0x80041319);

std::string IidName(REFIID iid) {
    static const struct {
        const IID* iid;
        const char* name;
    } known[] = {
        {&IID_IUnknown, "IUnknown"},
        {&IID_IDispatch, "IDispatch"},
        {&IID_ITaskService, "ITaskService"},
        {&IID_ITaskFolder, "ITaskFolder"},
        {&IID_ITaskDefinition, "ITaskDefinition"},
        {&IID_IRegistrationInfo, "IRegistrationInfo"},
        {&IID_ITriggerCollection, "ITriggerCollection"},
        {&IID_ITrigger, "ITrigger"},
        {&IID_ILogonTrigger, "ILogonTrigger"},
        {&IID_IPrincipal, "IPrincipal"},
        {&IID_ITaskSettings, "ITaskSettings"},
        {&IID_IIdleSettings, "IIdleSettings"},
        {&IID_IActionCollection, "IActionCollection"},
        {&IID_IAction, "IAction"},
        {&IID_IExecAction, "IExecAction"},
        {&IID_IRegisteredTask, "IRegisteredTask"},
        {&IID_IMarshal, "IMarshal"},
    };
    for (const auto& k : known)
        if (IsEqualIID(iid, *k.iid)) return k.name;
    wchar_t text[40] = {};
    StringFromGUID2(iid, text, 40);
    return Utf8(text);
}

std::string ShowText(BSTR text) {
    return text ? "\"" + Utf8(text, SysStringLen(text)) + "\"" : "null";
}

// A null BSTR is the empty text in COM.
std::string StoredText(BSTR text) {
    return "\"" + (text ? Utf8(text, SysStringLen(text)) : std::string()) + "\"";
}

std::wstring ParseText(const std::string& stored) {
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"')
        return Wide(stored.substr(1, stored.size() - 2));
    return Wide(stored);
}

std::string ShowBool(VARIANT_BOOL value) {
    if (value == VARIANT_FALSE) return "false";
    if (value == VARIANT_TRUE) return "true";
    return std::to_string(value);
}

std::string ShowVariant(const VARIANT& value) {
    switch (value.vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_BSTR: return "VT_BSTR " + ShowText(value.bstrVal);
    case VT_I4: return "VT_I4 " + std::to_string(value.lVal);
    default: return "VT(" + std::to_string(value.vt) + ")";
    }
}

bool IsEmptyVariant(const VARIANT& value) {
    return value.vt == VT_EMPTY || value.vt == VT_NULL ||
           (value.vt == VT_BSTR && SysStringLen(value.bstrVal) == 0);
}

// The properties of one task definition, shared by every object that shows a part of it.
struct TaskBag {
    Properties properties;
    int triggers = 0;
    int actions = 0;
};
std::mutex bagLock;

class Tracked {
public:
    explicit Tracked(const char* kind) : name_(NewObjectName(kind)) {
        ObjectHeld(true);
        Journal(name_ + " created");
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;
    virtual ~Tracked() = default;

    const std::string& Name() const { return name_; }

protected:
    ULONG AddRefTracked() {
        LONG n = InterlockedIncrement(&refs_);
        if (n == 1) ObjectHeld(true);
        Journal(name_ + " AddRef = " + std::to_string(n));
        return static_cast<ULONG>(n);
    }
    ULONG ReleaseTracked() {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) ObjectHeld(false);
        Journal(name_ + " Release = " + std::to_string(n));
        return static_cast<ULONG>(n);
    }
    HRESULT Done(const std::string& call, HRESULT hr, const Tracked* made = nullptr) {
        std::string line = name_ + " " + call + " = " + Hex(hr);
        if (made) line += " -> " + made->Name();
        if (InterlockedCompareExchange(&refs_, 0, 0) <= 0) line += " [released]";
        Journal(line);
        return hr;
    }

private:
    std::string name_;
    LONG refs_ = 1;
};

template <class I>
class Com : public I, public Tracked {
public:
    Com(const char* kind, const IID& own) : Tracked(kind), own_(own) {}

    virtual bool Implements(REFIID iid) const {
        return IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, own_);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        std::string call = "QueryInterface(" + IidName(iid) + ")";
        if (!out) return Done(call, E_POINTER);
        *out = nullptr;
        HRESULT hr;
        if (Injected(call, &hr)) return Done(call, hr);
        if (!Implements(iid)) return Done(call, E_NOINTERFACE);
        AddRefTracked();
        *out = static_cast<I*>(this);
        return Done(call, S_OK);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefTracked(); }
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseTracked(); }

    // Late binding is not modelled: the tool under test calls through the vtables.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return Done("IDispatch.GetTypeInfoCount()", E_POINTER);
        *count = 0;
        return Done("IDispatch.GetTypeInfoCount()", S_OK);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return Done("IDispatch.GetTypeInfo()", E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return Done("IDispatch.GetIDsOfNames()", E_NOTIMPL);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return Done("IDispatch.Invoke()", E_NOTIMPL);
    }

protected:
    // Hands out a new object through an out parameter, honouring a chosen failure.
    template <class Out, class Make>
    HRESULT Give(const char* call, const std::string& args, Out** out, Make make) {
        std::string text = std::string(call) + "(" + args + ")";
        if (!out) return Done(text, E_POINTER);
        *out = nullptr;
        HRESULT hr;
        if (Injected(call, &hr)) return Done(text, hr);
        auto* made = make();
        *out = made;
        return Done(text, S_OK, made);
    }
    HRESULT NotModelled(const char* call) { return Done(std::string(call) + "()", E_NOTIMPL); }

private:
    IID own_;
};

// An object that shows part of a task definition: its properties live in the shared bag under a
// prefix ("Principal.", "Actions[0]."); an unset property reads as the documented default.
template <class I>
class Part : public Com<I> {
public:
    Part(const char* kind, const IID& own, std::shared_ptr<TaskBag> bag, std::string prefix)
        : Com<I>(kind, own), bag_(std::move(bag)), prefix_(std::move(prefix)) {}

protected:
    HRESULT Put(const char* call, const char* name, const std::string& shown, const std::string& stored) {
        std::string text = std::string(call) + "(" + shown + ")";
        HRESULT hr;
        if (Injected(call, &hr)) return this->Done(text, hr);
        {
            std::lock_guard<std::mutex> hold(bagLock);
            bag_->properties[prefix_ + name] = stored;
        }
        return this->Done(text, S_OK);
    }
    bool Lookup(const char* name, std::string* stored) {
        std::lock_guard<std::mutex> hold(bagLock);
        auto it = bag_->properties.find(prefix_ + name);
        if (it == bag_->properties.end()) return false;
        *stored = it->second;
        return true;
    }
    // Shared beginning of a getter: null check, preset, chosen failure. True when the call is done.
    template <class T>
    bool GetterDone(const char* call, T* out, T preset, HRESULT* hr) {
        std::string text = std::string(call) + "()";
        if (!out) {
            *hr = this->Done(text, E_POINTER);
            return true;
        }
        *out = preset;
        if (Injected(call, hr)) {
            this->Done(text, *hr);
            return true;
        }
        return false;
    }
    HRESULT GetText(const char* call, const char* name, const wchar_t* fallback, BSTR* out) {
        HRESULT hr;
        if (GetterDone<BSTR>(call, out, nullptr, &hr)) return hr;
        std::string stored;
        std::wstring value = Lookup(name, &stored) ? ParseText(stored) : std::wstring(fallback);
        *out = SysAllocString(value.c_str());
        return this->Done(std::string(call) + "()", *out ? S_OK : E_OUTOFMEMORY);
    }
    HRESULT GetBool(const char* call, const char* name, bool fallback, VARIANT_BOOL* out) {
        HRESULT hr;
        if (GetterDone<VARIANT_BOOL>(call, out, VARIANT_FALSE, &hr)) return hr;
        std::string stored;
        bool value = Lookup(name, &stored) ? stored != "false" : fallback;
        *out = value ? VARIANT_TRUE : VARIANT_FALSE;
        return this->Done(std::string(call) + "()", S_OK);
    }
    template <class T>
    HRESULT GetNumber(const char* call, const char* name, long fallback, T* out) {
        HRESULT hr;
        if (GetterDone<T>(call, out, static_cast<T>(0), &hr)) return hr;
        std::string stored;
        *out = static_cast<T>(Lookup(name, &stored) ? strtol(stored.c_str(), nullptr, 10) : fallback);
        return this->Done(std::string(call) + "()", S_OK);
    }

    std::shared_ptr<TaskBag> bag_;
    std::string prefix_;
};

#define FAKE_TEXT(Iface, Name, Fallback)                                                           \
    HRESULT STDMETHODCALLTYPE get_##Name(BSTR* value) override {                                   \
        return this->GetText(#Iface ".get_" #Name, #Name, Fallback, value);                        \
    }                                                                                              \
    HRESULT STDMETHODCALLTYPE put_##Name(BSTR value) override {                                    \
        return this->Put(#Iface ".put_" #Name, #Name, ShowText(value), StoredText(value));         \
    }

#define FAKE_BOOL(Iface, Name, Fallback)                                                           \
    HRESULT STDMETHODCALLTYPE get_##Name(VARIANT_BOOL* value) override {                           \
        return this->GetBool(#Iface ".get_" #Name, #Name, Fallback, value);                        \
    }                                                                                              \
    HRESULT STDMETHODCALLTYPE put_##Name(VARIANT_BOOL value) override {                            \
        return this->Put(#Iface ".put_" #Name, #Name, ShowBool(value), ShowBool(value));           \
    }

#define FAKE_NUMBER(Iface, Name, Type, Fallback)                                                   \
    HRESULT STDMETHODCALLTYPE get_##Name(Type* value) override {                                   \
        return this->GetNumber(#Iface ".get_" #Name, #Name, Fallback, value);                      \
    }                                                                                              \
    HRESULT STDMETHODCALLTYPE put_##Name(Type value) override {                                    \
        std::string shown = std::to_string(static_cast<long>(value));                              \
        return this->Put(#Iface ".put_" #Name, #Name, shown, shown);                               \
    }

#define FAKE_NOT_MODELLED(Iface, Method, ...) \
    HRESULT STDMETHODCALLTYPE Method(__VA_ARGS__) override { return this->NotModelled(#Iface "." #Method); }

class RegistrationInfo : public Part<IRegistrationInfo> {
public:
    explicit RegistrationInfo(std::shared_ptr<TaskBag> bag)
        : Part("RegistrationInfo", IID_IRegistrationInfo, std::move(bag), "RegistrationInfo.") {}
    FAKE_TEXT(IRegistrationInfo, Description, L"")
    FAKE_TEXT(IRegistrationInfo, Author, L"")
    FAKE_TEXT(IRegistrationInfo, Version, L"")
    FAKE_TEXT(IRegistrationInfo, Date, L"")
    FAKE_TEXT(IRegistrationInfo, Documentation, L"")
    FAKE_NOT_MODELLED(IRegistrationInfo, get_XmlText, BSTR*)
    FAKE_NOT_MODELLED(IRegistrationInfo, put_XmlText, BSTR)
    FAKE_TEXT(IRegistrationInfo, URI, L"")
    FAKE_NOT_MODELLED(IRegistrationInfo, get_SecurityDescriptor, VARIANT*)
    FAKE_NOT_MODELLED(IRegistrationInfo, put_SecurityDescriptor, VARIANT)
    FAKE_TEXT(IRegistrationInfo, Source, L"")
};

class LogonTrigger : public Part<ILogonTrigger> {
public:
    LogonTrigger(std::shared_ptr<TaskBag> bag, int index)
        : Part("LogonTrigger", IID_ILogonTrigger, std::move(bag), "Triggers[" + std::to_string(index) + "].") {}
    bool Implements(REFIID iid) const override { return Part::Implements(iid) || IsEqualIID(iid, IID_ITrigger); }

    HRESULT STDMETHODCALLTYPE get_Type(TASK_TRIGGER_TYPE2* type) override {
        HRESULT hr;
        if (GetterDone<TASK_TRIGGER_TYPE2>("ITrigger.get_Type", type, TASK_TRIGGER_LOGON, &hr)) return hr;
        return Done("ITrigger.get_Type()", S_OK);
    }
    FAKE_TEXT(ITrigger, Id, L"")
    FAKE_NOT_MODELLED(ITrigger, get_Repetition, IRepetitionPattern**)
    FAKE_NOT_MODELLED(ITrigger, put_Repetition, IRepetitionPattern*)
    FAKE_TEXT(ITrigger, ExecutionTimeLimit, L"")
    FAKE_TEXT(ITrigger, StartBoundary, L"")
    FAKE_TEXT(ITrigger, EndBoundary, L"")
    FAKE_BOOL(ITrigger, Enabled, true)
    FAKE_TEXT(ILogonTrigger, Delay, L"")
    FAKE_TEXT(ILogonTrigger, UserId, L"")
};

class TriggerCollection : public Part<ITriggerCollection> {
public:
    explicit TriggerCollection(std::shared_ptr<TaskBag> bag)
        : Part("TriggerCollection", IID_ITriggerCollection, std::move(bag), "Triggers.") {}

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        HRESULT hr;
        if (GetterDone<LONG>("ITriggerCollection.get_Count", count, 0, &hr)) return hr;
        std::lock_guard<std::mutex> hold(bagLock);
        *count = bag_->triggers;
        return Done("ITriggerCollection.get_Count()", S_OK);
    }
    // Items count from 1.
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, ITrigger** trigger) override {
        std::string text = "ITriggerCollection.get_Item(" + std::to_string(index) + ")";
        if (!trigger) return Done(text, E_POINTER);
        *trigger = nullptr;
        HRESULT hr;
        if (Injected("ITriggerCollection.get_Item", &hr)) return Done(text, hr);
        int count;
        {
            std::lock_guard<std::mutex> hold(bagLock);
            count = bag_->triggers;
        }
        if (index < 1 || index > count) return Done(text, E_INVALIDARG);
        auto* made = new LogonTrigger(bag_, index - 1);
        *trigger = made;
        return Done(text, S_OK, made);
    }
    FAKE_NOT_MODELLED(ITriggerCollection, get__NewEnum, IUnknown**)
    HRESULT STDMETHODCALLTYPE Create(TASK_TRIGGER_TYPE2 type, ITrigger** trigger) override {
        std::string text = "ITriggerCollection.Create(" + std::to_string(type) + ")";
        if (!trigger) return Done(text, E_POINTER);
        *trigger = nullptr;
        HRESULT hr;
        if (Injected("ITriggerCollection.Create", &hr)) return Done(text, hr);
        if (type < TASK_TRIGGER_EVENT || type > TASK_TRIGGER_SESSION_STATE_CHANGE + 1 || type == 10)
            return Done(text, E_INVALIDARG);
        // Only the logon trigger is modelled; the tool under test uses no other.
        if (type != TASK_TRIGGER_LOGON) return Done(text, E_NOTIMPL);
        int index;
        {
            std::lock_guard<std::mutex> hold(bagLock);
            index = bag_->triggers++;
            bag_->properties["Triggers.Count"] = std::to_string(bag_->triggers);
            bag_->properties["Triggers[" + std::to_string(index) + "].Type"] = std::to_string(type);
        }
        auto* made = new LogonTrigger(bag_, index);
        *trigger = made;
        return Done(text, S_OK, made);
    }
    FAKE_NOT_MODELLED(ITriggerCollection, Remove, VARIANT)
    FAKE_NOT_MODELLED(ITriggerCollection, Clear, )
};

class Principal : public Part<IPrincipal> {
public:
    explicit Principal(std::shared_ptr<TaskBag> bag) : Part("Principal", IID_IPrincipal, std::move(bag), "Principal.") {}
    FAKE_TEXT(IPrincipal, Id, L"")
    FAKE_TEXT(IPrincipal, DisplayName, L"")
    FAKE_TEXT(IPrincipal, UserId, L"")
    FAKE_NUMBER(IPrincipal, LogonType, TASK_LOGON_TYPE, TASK_LOGON_NONE)
    FAKE_TEXT(IPrincipal, GroupId, L"")
    FAKE_NUMBER(IPrincipal, RunLevel, TASK_RUNLEVEL_TYPE, TASK_RUNLEVEL_LUA)
};

class IdleSettings : public Part<IIdleSettings> {
public:
    explicit IdleSettings(std::shared_ptr<TaskBag> bag)
        : Part("IdleSettings", IID_IIdleSettings, std::move(bag), "Settings.IdleSettings.") {}
    FAKE_TEXT(IIdleSettings, IdleDuration, L"PT10M")
    FAKE_TEXT(IIdleSettings, WaitTimeout, L"PT1H")
    FAKE_BOOL(IIdleSettings, StopOnIdleEnd, true)
    FAKE_BOOL(IIdleSettings, RestartOnIdle, false)
};

class TaskSettings : public Part<ITaskSettings> {
public:
    explicit TaskSettings(std::shared_ptr<TaskBag> bag)
        : Part("TaskSettings", IID_ITaskSettings, std::move(bag), "Settings.") {}
    FAKE_BOOL(ITaskSettings, AllowDemandStart, true)
    FAKE_TEXT(ITaskSettings, RestartInterval, L"")
    FAKE_NUMBER(ITaskSettings, RestartCount, INT, 0)
    FAKE_NUMBER(ITaskSettings, MultipleInstances, TASK_INSTANCES_POLICY, TASK_INSTANCES_IGNORE_NEW)
    FAKE_BOOL(ITaskSettings, StopIfGoingOnBatteries, true)
    FAKE_BOOL(ITaskSettings, DisallowStartIfOnBatteries, true)
    FAKE_BOOL(ITaskSettings, AllowHardTerminate, true)
    FAKE_BOOL(ITaskSettings, StartWhenAvailable, false)
    FAKE_NOT_MODELLED(ITaskSettings, get_XmlText, BSTR*)
    FAKE_NOT_MODELLED(ITaskSettings, put_XmlText, BSTR)
    FAKE_BOOL(ITaskSettings, RunOnlyIfNetworkAvailable, false)
    FAKE_TEXT(ITaskSettings, ExecutionTimeLimit, L"PT72H")
    FAKE_BOOL(ITaskSettings, Enabled, true)
    FAKE_TEXT(ITaskSettings, DeleteExpiredTaskAfter, L"")
    FAKE_NUMBER(ITaskSettings, Priority, INT, 7)
    FAKE_NUMBER(ITaskSettings, Compatibility, TASK_COMPATIBILITY, TASK_COMPATIBILITY_V2)
    FAKE_BOOL(ITaskSettings, Hidden, false)
    HRESULT STDMETHODCALLTYPE get_IdleSettings(IIdleSettings** settings) override {
        return Give("ITaskSettings.get_IdleSettings", "", settings, [this] { return new IdleSettings(bag_); });
    }
    FAKE_NOT_MODELLED(ITaskSettings, put_IdleSettings, IIdleSettings*)
    FAKE_BOOL(ITaskSettings, RunOnlyIfIdle, false)
    FAKE_BOOL(ITaskSettings, WakeToRun, false)
    FAKE_NOT_MODELLED(ITaskSettings, get_NetworkSettings, INetworkSettings**)
    FAKE_NOT_MODELLED(ITaskSettings, put_NetworkSettings, INetworkSettings*)
};

class ExecAction : public Part<IExecAction> {
public:
    ExecAction(std::shared_ptr<TaskBag> bag, int index)
        : Part("ExecAction", IID_IExecAction, std::move(bag), "Actions[" + std::to_string(index) + "].") {}
    bool Implements(REFIID iid) const override { return Part::Implements(iid) || IsEqualIID(iid, IID_IAction); }

    FAKE_TEXT(IAction, Id, L"")
    HRESULT STDMETHODCALLTYPE get_Type(TASK_ACTION_TYPE* type) override {
        HRESULT hr;
        if (GetterDone<TASK_ACTION_TYPE>("IAction.get_Type", type, TASK_ACTION_EXEC, &hr)) return hr;
        return Done("IAction.get_Type()", S_OK);
    }
    FAKE_TEXT(IExecAction, Path, L"")
    FAKE_TEXT(IExecAction, Arguments, L"")
    FAKE_TEXT(IExecAction, WorkingDirectory, L"")
};

class ActionCollection : public Part<IActionCollection> {
public:
    explicit ActionCollection(std::shared_ptr<TaskBag> bag)
        : Part("ActionCollection", IID_IActionCollection, std::move(bag), "Actions.") {}

    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override {
        HRESULT hr;
        if (GetterDone<LONG>("IActionCollection.get_Count", count, 0, &hr)) return hr;
        std::lock_guard<std::mutex> hold(bagLock);
        *count = bag_->actions;
        return Done("IActionCollection.get_Count()", S_OK);
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IAction** action) override {
        std::string text = "IActionCollection.get_Item(" + std::to_string(index) + ")";
        if (!action) return Done(text, E_POINTER);
        *action = nullptr;
        HRESULT hr;
        if (Injected("IActionCollection.get_Item", &hr)) return Done(text, hr);
        int count;
        {
            std::lock_guard<std::mutex> hold(bagLock);
            count = bag_->actions;
        }
        if (index < 1 || index > count) return Done(text, E_INVALIDARG);
        auto* made = new ExecAction(bag_, index - 1);
        *action = made;
        return Done(text, S_OK, made);
    }
    FAKE_NOT_MODELLED(IActionCollection, get__NewEnum, IUnknown**)
    FAKE_NOT_MODELLED(IActionCollection, get_XmlText, BSTR*)
    FAKE_NOT_MODELLED(IActionCollection, put_XmlText, BSTR)
    HRESULT STDMETHODCALLTYPE Create(TASK_ACTION_TYPE type, IAction** action) override {
        std::string text = "IActionCollection.Create(" + std::to_string(type) + ")";
        if (!action) return Done(text, E_POINTER);
        *action = nullptr;
        HRESULT hr;
        if (Injected("IActionCollection.Create", &hr)) return Done(text, hr);
        if (type != TASK_ACTION_EXEC && type != TASK_ACTION_COM_HANDLER && type != TASK_ACTION_SEND_EMAIL &&
            type != TASK_ACTION_SHOW_MESSAGE)
            return Done(text, E_INVALIDARG);
        // Only the exec action is modelled; the tool under test uses no other.
        if (type != TASK_ACTION_EXEC) return Done(text, E_NOTIMPL);
        int index;
        {
            std::lock_guard<std::mutex> hold(bagLock);
            index = bag_->actions++;
            bag_->properties["Actions.Count"] = std::to_string(bag_->actions);
            bag_->properties["Actions[" + std::to_string(index) + "].Type"] = std::to_string(type);
        }
        auto* made = new ExecAction(bag_, index);
        *action = made;
        return Done(text, S_OK, made);
    }
    FAKE_NOT_MODELLED(IActionCollection, Remove, VARIANT)
    FAKE_NOT_MODELLED(IActionCollection, Clear, )
    FAKE_TEXT(IActionCollection, Context, L"")
};

class TaskDefinition;
std::map<const ITaskDefinition*, TaskDefinition*> definitions;
std::mutex definitionsLock;

class TaskDefinition : public Part<ITaskDefinition> {
public:
    TaskDefinition() : Part("TaskDefinition", IID_ITaskDefinition, std::make_shared<TaskBag>(), "") {
        std::lock_guard<std::mutex> hold(definitionsLock);
        definitions[this] = this;
    }

    std::shared_ptr<TaskBag> Bag() const { return bag_; }

    HRESULT STDMETHODCALLTYPE get_RegistrationInfo(IRegistrationInfo** info) override {
        return Give("ITaskDefinition.get_RegistrationInfo", "", info, [this] { return new RegistrationInfo(bag_); });
    }
    FAKE_NOT_MODELLED(ITaskDefinition, put_RegistrationInfo, IRegistrationInfo*)
    HRESULT STDMETHODCALLTYPE get_Triggers(ITriggerCollection** triggers) override {
        return Give("ITaskDefinition.get_Triggers", "", triggers, [this] { return new TriggerCollection(bag_); });
    }
    FAKE_NOT_MODELLED(ITaskDefinition, put_Triggers, ITriggerCollection*)
    HRESULT STDMETHODCALLTYPE get_Settings(ITaskSettings** settings) override {
        return Give("ITaskDefinition.get_Settings", "", settings, [this] { return new TaskSettings(bag_); });
    }
    FAKE_NOT_MODELLED(ITaskDefinition, put_Settings, ITaskSettings*)
    FAKE_TEXT(ITaskDefinition, Data, L"")
    HRESULT STDMETHODCALLTYPE get_Principal(IPrincipal** principal) override {
        return Give("ITaskDefinition.get_Principal", "", principal, [this] { return new Principal(bag_); });
    }
    FAKE_NOT_MODELLED(ITaskDefinition, put_Principal, IPrincipal*)
    HRESULT STDMETHODCALLTYPE get_Actions(IActionCollection** actions) override {
        return Give("ITaskDefinition.get_Actions", "", actions, [this] { return new ActionCollection(bag_); });
    }
    FAKE_NOT_MODELLED(ITaskDefinition, put_Actions, IActionCollection*)
    FAKE_NOT_MODELLED(ITaskDefinition, get_XmlText, BSTR*)
    FAKE_NOT_MODELLED(ITaskDefinition, put_XmlText, BSTR)
};

// Only definitions this fake made can be registered; anything else is an invalid argument.
TaskDefinition* OwnDefinition(const ITaskDefinition* definition) {
    std::lock_guard<std::mutex> hold(definitionsLock);
    auto it = definitions.find(definition);
    return it == definitions.end() ? nullptr : it->second;
}

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

    HRESULT STDMETHODCALLTYPE RegisterTaskDefinition(BSTR path, ITaskDefinition* definition, LONG flags,
                                                     VARIANT user, VARIANT password, TASK_LOGON_TYPE logonType,
                                                     VARIANT sddl, IRegisteredTask** task) override {
        TaskDefinition* own = OwnDefinition(definition);
        std::string text = "ITaskFolder.RegisterTaskDefinition(" + ShowText(path) + ", " +
                           (own ? own->Name() : definition ? "foreign" : "null") + ", " + std::to_string(flags) +
                           ", " + ShowVariant(user) + ", " + ShowVariant(password) + ", " +
                           std::to_string(logonType) + ", " + ShowVariant(sddl) + ")";
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
        bool local = IsEmptyVariant(server) ||
                     (server.vt == VT_BSTR && lstrcmpiW(server.bstrVal, ComputerName().c_str()) == 0);
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

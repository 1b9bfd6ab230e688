// The fake's task definition: the definition and the objects that show its parts, all over one
// shared bag of properties.
#pragma once

#include "fake_com.h"

namespace fake_taskschd {

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
    explicit Principal(std::shared_ptr<TaskBag> bag)
        : Part("Principal", IID_IPrincipal, std::move(bag), "Principal.") {}
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
inline std::map<const ITaskDefinition*, TaskDefinition*> definitions;
inline std::mutex definitionsLock;

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
inline TaskDefinition* OwnDefinition(const ITaskDefinition* definition) {
    std::lock_guard<std::mutex> hold(definitionsLock);
    auto it = definitions.find(definition);
    return it == definitions.end() ? nullptr : it->second;
}
}  // namespace fake_taskschd

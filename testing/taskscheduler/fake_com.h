// The COM plumbing of the fake's objects: every call is journaled with its arguments and result,
// every AddRef and Release with the count it leaves. Objects are never freed: a call after the last
// Release is journaled (marked "[released]") instead of crashing the tool under test.
#pragma once

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

inline std::string IidName(REFIID iid) {
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

inline std::string ShowText(BSTR text) { return text ? "\"" + Utf8(text, SysStringLen(text)) + "\"" : "null"; }

// A null BSTR is the empty text in COM.
inline std::string StoredText(BSTR text) {
    return "\"" + (text ? Utf8(text, SysStringLen(text)) : std::string()) + "\"";
}

inline std::wstring ParseText(const std::string& stored) {
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"')
        return Wide(stored.substr(1, stored.size() - 2));
    return Wide(stored);
}

inline std::string ShowBool(VARIANT_BOOL value) {
    if (value == VARIANT_FALSE) return "false";
    if (value == VARIANT_TRUE) return "true";
    return std::to_string(value);
}

inline std::string ShowVariant(const VARIANT& value) {
    switch (value.vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_BSTR: return "VT_BSTR " + ShowText(value.bstrVal);
    case VT_I4: return "VT_I4 " + std::to_string(value.lVal);
    default: return "VT(" + std::to_string(value.vt) + ")";
    }
}

inline bool IsEmptyVariant(const VARIANT& value) {
    return value.vt == VT_EMPTY || value.vt == VT_NULL || (value.vt == VT_BSTR && SysStringLen(value.bstrVal) == 0);
}

// The properties of one task definition, shared by every object that shows a part of it.
struct TaskBag {
    Properties properties;
    int triggers = 0;
    int actions = 0;
};
inline std::mutex bagLock;

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

#define FAKE_TEXT(Iface, Name, Fallback)                                                   \
    HRESULT STDMETHODCALLTYPE get_##Name(BSTR* value) override {                           \
        return this->GetText(#Iface ".get_" #Name, #Name, Fallback, value);                \
    }                                                                                      \
    HRESULT STDMETHODCALLTYPE put_##Name(BSTR value) override {                            \
        return this->Put(#Iface ".put_" #Name, #Name, ShowText(value), StoredText(value)); \
    }

#define FAKE_BOOL(Iface, Name, Fallback)                                                 \
    HRESULT STDMETHODCALLTYPE get_##Name(VARIANT_BOOL* value) override {                 \
        return this->GetBool(#Iface ".get_" #Name, #Name, Fallback, value);              \
    }                                                                                    \
    HRESULT STDMETHODCALLTYPE put_##Name(VARIANT_BOOL value) override {                  \
        return this->Put(#Iface ".put_" #Name, #Name, ShowBool(value), ShowBool(value)); \
    }

#define FAKE_NUMBER(Iface, Name, Type, Fallback)                              \
    HRESULT STDMETHODCALLTYPE get_##Name(Type* value) override {              \
        return this->GetNumber(#Iface ".get_" #Name, #Name, Fallback, value); \
    }                                                                         \
    HRESULT STDMETHODCALLTYPE put_##Name(Type value) override {               \
        std::string shown = std::to_string(static_cast<long>(value));         \
        return this->Put(#Iface ".put_" #Name, #Name, shown, shown);          \
    }

#define FAKE_NOT_MODELLED(Iface, Method, ...) \
    HRESULT STDMETHODCALLTYPE Method(__VA_ARGS__) override { return this->NotModelled(#Iface "." #Method); }

}  // namespace fake_taskschd

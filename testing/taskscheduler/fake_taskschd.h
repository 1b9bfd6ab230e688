// A fake Task Scheduler 2.0 for tests: Wine's own refuses logon triggers, run levels and idle
// settings. It is an in-process server for CLSID_TaskScheduler (taskschd_fake.dll) and can also be
// linked straight into a test. See fake_state.h for how a test steers it and reads what happened.
#pragma once

#include <windows.h>
#include <taskschd.h>

namespace fake_taskschd {

// MinGW's taskschd.h lacks the logon trigger's own interface.
MIDL_INTERFACE("72dade38-fae4-4b3e-baf4-5d009af02b1c")
ILogonTrigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR * delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR * user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};

extern const IID IID_ILogonTrigger;

// Makes a service object as the class factory does (after reading the state folder and the chosen
// failures); a failure chosen for "IClassFactory.CreateInstance" is returned instead.
HRESULT CreateTaskService(REFIID riid, void** object);

}  // namespace fake_taskschd

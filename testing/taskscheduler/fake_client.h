// The test side of the fake Task Scheduler: a fresh state folder per test, the chosen failures, and
// readers for what the fake recorded, whether it ran inside the test or in a program it started.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace fake_taskschd {

struct Event {
    enum Kind { Created, AddRef, Release, Call } kind;
    std::string object;  // "Principal#7"
    std::string call;    // "IPrincipal.put_RunLevel(1)"; empty unless a call
    std::string result;  // "0x00000000" for a call
    std::string made;    // the object a call handed out, if any
    long count = 0;      // the count an AddRef or Release left
};

// The kind of an object name: "Principal#7" -> "Principal".
std::string KindOf(const std::string& object);

class FakeScheduler {
public:
    // Makes the folder and names it in this process's environment, which started programs inherit.
    FakeScheduler();
    ~FakeScheduler();
    FakeScheduler(const FakeScheduler&) = delete;
    FakeScheduler& operator=(const FakeScheduler&) = delete;

    const std::wstring& Dir() const { return dir_; }

    // Makes every call of this kind ("IPrincipal.put_RunLevel") return hr from now on.
    void Fail(const std::string& call, HRESULT hr);
    // Has the service map name to the account sid ("S-1-5-32-544"), as a Windows in another
    // language names its built-in groups. Cleared with the failures.
    void NameGroup(const std::wstring& sid, const std::wstring& name);
    void ClearFailures();
    void ClearJournal();

    std::vector<Event> Journal() const;
    // "IPrincipal.put_RunLevel(1) = 0x00000000" for every call, in order.
    std::vector<std::string> Calls() const;
    // Objects whose count did not end at 0, and calls made on an object after its last release.
    std::vector<std::string> Unbalanced() const;
    // Kinds of the objects whose count reached 0 after the first call matching callPrefix, in order.
    std::vector<std::string> ReleasedAfter(const std::string& callPrefix) const;
    bool Created(const std::string& kind) const;
    // "+Kind" when an object is made, "-Kind" when its count reaches 0, in order.
    std::vector<std::string> Lifetimes() const;

    bool HasTask(const std::wstring& name) const;
    std::map<std::string, std::string> Task(const std::wstring& name) const;
    void PutTask(const std::wstring& name, const std::map<std::string, std::string>& properties);

private:
    std::wstring dir_;
};

// Calls a COM server DLL's DllRegisterServer or DllUnregisterServer, as regsvr32 does: how a test
// puts a fake in the place of the system's class and gives the class back afterwards
// (CallDllRegistration(L"taskschd.dll", "DllRegisterServer") restores Wine's own scheduler).
HRESULT CallDllRegistration(const std::wstring& dll, const char* entry);

}  // namespace fake_taskschd

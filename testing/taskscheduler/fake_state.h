// What the fake Task Scheduler keeps outside its COM objects: the journal of every call, the
// failures a test chose, and the registered tasks. All of it lives in one state folder, named by the
// environment variable TVX_FAKE_TASKSCHD_DIR, so that a test can read what a separate process did:
//   journal.txt        one line per event, appended as it happens
//   control.txt        "fail <call> <hresult>" lines, read whenever a service object is made
//   tasks\<name>.task  one "key=value" line per property of a registered task
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace fake_taskschd {

using Properties = std::map<std::string, std::string>;

// Picks up the state folder and the chosen failures.
void Configure();

// True when the test chose a result for this call ("ITaskFolder.DeleteTask", "QueryInterface(IExecAction)");
// *hr receives it. A chosen success (0) makes a getter succeed without handing out an object.
bool Injected(const std::string& call, HRESULT* hr);

// The account a name given with NameGroup maps to ("S-1-5-32-544"), or empty.
std::wstring NamedGroup(const std::wstring& name);

void Journal(const std::string& line);
std::string NewObjectName(const char* kind);

// Objects that a client still holds a reference to, for DllCanUnloadNow.
void ObjectHeld(bool held);
LONG ObjectsHeld();

// The registered tasks of the root folder. Names are the task names without the leading "\".
bool ValidTaskName(const std::wstring& name);
bool TaskExists(const std::wstring& name);
HRESULT SaveTask(const std::wstring& name, const Properties& properties);
HRESULT RemoveTask(const std::wstring& name);

std::string Utf8(const wchar_t* text, int length = -1);
std::wstring Wide(const std::string& text);
std::string Hex(HRESULT hr);

}  // namespace fake_taskschd

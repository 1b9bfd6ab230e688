// What registering the logon task must leave in the fake, shared by the in-process and the
// whole-program tests.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "fake_client.h"

inline std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 1 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

// Looked up here on its own, so that no fixed group name is taken for granted.
inline std::string AdministratorsName() {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-32-544", &sid)) return {};
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use);
    LocalFree(sid);
    return Utf8(name);
}

// The calls in order, with object numbers left out ("TaskDefinition#3" -> "TaskDefinition").
inline std::vector<std::string> CallsOf(const fake_taskschd::FakeScheduler& fake) {
    std::vector<std::string> calls;
    for (std::string call : fake.Calls()) {
        for (size_t hash = call.find('#'); hash != std::string::npos; hash = call.find('#', hash)) {
            size_t end = hash + 1;
            while (end < call.size() && isdigit(static_cast<unsigned char>(call[end]))) ++end;
            call.erase(hash, end - hash);
        }
        calls.push_back(call);
    }
    return calls;
}

inline std::map<std::string, std::string> ExpectedTask(const std::string& launcher) {
    return {
        {"Actions.Count", "1"},
        {"Actions[0].Arguments", "\"\""},
        {"Actions[0].Path", "\"" + launcher + "\""},
        {"Actions[0].Type", "0"},
        {"Principal.Id", "\"Principal1\""},
        {"Principal.LogonType", "3"},
        {"Principal.RunLevel", "1"},
        {"Registration.Flags", "2"},
        {"Registration.Folder", "\"\\\""},
        {"Registration.LogonType", "4"},
        {"Registration.Password", "VT_EMPTY"},
        {"Registration.Path", "\"OrvantaUWP\""},
        {"Registration.Sddl", "VT_BSTR \"\""},
        {"Registration.User", "VT_BSTR \"" + AdministratorsName() + "\""},
        {"Settings.AllowHardTerminate", "false"},
        {"Settings.DisallowStartIfOnBatteries", "false"},
        {"Settings.ExecutionTimeLimit", "\"PT0S\""},
        {"Settings.IdleSettings.StopOnIdleEnd", "false"},
        {"Settings.MultipleInstances", "0"},
        {"Settings.StopIfGoingOnBatteries", "false"},
        {"Triggers.Count", "1"},
        {"Triggers[0].Type", "9"},
    };
}

// As the tool calls it: no author, no description, runInParallel 1, and no task of the name yet.
inline std::vector<std::string> ExpectedCreateCalls(const std::string& launcher) {
    return {
        "IClassFactory.CreateInstance(ITaskService) = 0x00000000",
        "ITaskService.Connect(VT_EMPTY, VT_EMPTY, VT_EMPTY, VT_EMPTY) = 0x00000000",
        "ITaskService.GetFolder(\"\\\") = 0x00000000",
        "ITaskFolder.DeleteTask(\"OrvantaUWP\", 0) = 0x80070002",
        "ITaskService.NewTask(0) = 0x00000000",
        "ITaskDefinition.get_Triggers() = 0x00000000",
        "ITriggerCollection.Create(9) = 0x00000000",
        "ITaskDefinition.get_Principal() = 0x00000000",
        "IPrincipal.put_Id(\"Principal1\") = 0x00000000",
        "IPrincipal.put_LogonType(3) = 0x00000000",
        "IPrincipal.put_RunLevel(1) = 0x00000000",
        "ITaskDefinition.get_Settings() = 0x00000000",
        "ITaskSettings.put_AllowHardTerminate(false) = 0x00000000",
        "ITaskSettings.put_DisallowStartIfOnBatteries(false) = 0x00000000",
        "ITaskSettings.put_StopIfGoingOnBatteries(false) = 0x00000000",
        "ITaskSettings.put_ExecutionTimeLimit(\"PT0S\") = 0x00000000",
        "ITaskSettings.put_MultipleInstances(0) = 0x00000000",
        "ITaskSettings.get_IdleSettings() = 0x00000000",
        "IIdleSettings.put_StopOnIdleEnd(false) = 0x00000000",
        "ITaskDefinition.get_Actions() = 0x00000000",
        "IActionCollection.Create(0) = 0x00000000",
        "QueryInterface(IExecAction) = 0x00000000",
        "IExecAction.put_Path(\"" + launcher + "\") = 0x00000000",
        "IExecAction.put_Arguments(\"\") = 0x00000000",
        "ITaskFolder.RegisterTaskDefinition(\"OrvantaUWP\", TaskDefinition, 2, VT_BSTR \"" + AdministratorsName() +
            "\", VT_EMPTY, 4, VT_BSTR \"\") = 0x00000000",
    };
}

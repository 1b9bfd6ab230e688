#include "seams.h"

#include <cstdio>

#include "fake_taskschd.h"
#include "platform.h"

TestSeams seams;

namespace {

const CLSID kTaskScheduler = {0x0f87369f, 0xa4e5, 0x4cfc, {0xbd, 0x3e, 0x73, 0xe6, 0x15, 0x45, 0x72, 0xdd}};
const IID kTaskService = {0x2faba4c7, 0x4da9, 0x4013, {0x96, 0x97, 0x20, 0xcc, 0x3f, 0xd4, 0x0f, 0x85}};

HRESULT WINAPI TestCoInitializeEx(LPVOID reserved, DWORD model) {
    if (reserved || model != COINIT_MULTITHREADED) seams.comArgumentsAsListed = false;
    if (FAILED(seams.coInitializeExFailure)) return seams.coInitializeExFailure;
    return CoInitializeEx(reserved, model);
}

// Windows lets process security be set once and answers RPC_E_TOO_LATE afterwards; Wine's
// CoInitializeSecurity accepts every call, so that rule is kept here, for the whole test process.
bool processSecuritySet = false;

HRESULT WINAPI TestCoInitializeSecurity(PSECURITY_DESCRIPTOR sd, LONG services, SOLE_AUTHENTICATION_SERVICE* list,
                                        void* reserved1, DWORD authnLevel, DWORD impLevel, void* reserved2,
                                        DWORD capabilities, void* reserved3) {
    if (sd || services != -1 || list || reserved1 || authnLevel != RPC_C_AUTHN_LEVEL_PKT_PRIVACY ||
        impLevel != RPC_C_IMP_LEVEL_IMPERSONATE || reserved2 || capabilities != EOAC_NONE || reserved3)
        seams.comArgumentsAsListed = false;
    HRESULT hr = seams.coInitializeSecurityFailure;
    if (SUCCEEDED(hr) && processSecuritySet) hr = RPC_E_TOO_LATE;
    if (SUCCEEDED(hr)) {
        hr = CoInitializeSecurity(sd, services, list, reserved1, authnLevel, impLevel, reserved2, capabilities,
                                  reserved3);
        processSecuritySet = SUCCEEDED(hr);
    }
    seams.securityResults.push_back(hr);
    return hr;
}

// Stands in for the COM runtime's look-up: the fake is linked into this test.
HRESULT WINAPI TestCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* out) {
    if (!IsEqualCLSID(clsid, kTaskScheduler) || outer || context != CLSCTX_INPROC_SERVER ||
        !IsEqualIID(iid, kTaskService))
        seams.comArgumentsAsListed = false;
    return fake_taskschd::CreateTaskService(iid, out);
}

void WINAPI TestCoUninitialize() {
    ++seams.coUninitializeCalls;
    CoUninitialize();
}

BSTR WINAPI TestSysAllocString(const OLECHAR* text) {
    if (++seams.bstrAllocations == seams.failBstrAllocation) return nullptr;
    return SysAllocString(text);
}

BOOL WINAPI TestAllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                                         DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
    if (seams.failSidAllocation) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return AllocateAndInitializeSid(authority, count, s0, s1, s2, s3, s4, s5, s6, s7, sid);
}

// The real look-up, or for S-1-5-32-544 the name a test gave, as a Windows in that language answers.
BOOL WINAPI TestLookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                                  LPDWORD domainSize, PSID_NAME_USE use) {
    if (seams.administratorsName.empty())
        return LookupAccountSidW(system, sid, name, nameSize, domain, domainSize, use);
    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &administrators);
    const bool isAdministrators = administrators && EqualSid(sid, administrators);
    FreeSid(administrators);
    if (!isAdministrators) return LookupAccountSidW(system, sid, name, nameSize, domain, domainSize, use);
    const std::wstring& given = seams.administratorsName;
    const wchar_t builtin[] = L"BUILTIN";
    if (*nameSize <= given.size() || *domainSize < sizeof builtin / sizeof builtin[0]) {
        *nameSize = static_cast<DWORD>(given.size() + 1);
        *domainSize = sizeof builtin / sizeof builtin[0];
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wcscpy(name, given.c_str());
    wcscpy(domain, builtin);
    *nameSize = static_cast<DWORD>(given.size());
    *domainSize = sizeof builtin / sizeof builtin[0] - 1;
    *use = SidTypeAlias;
    return TRUE;
}

DWORD WINAPI TestGetVersion() { return seams.version; }

HANDLE WINAPI TestCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                               LPVOID parameter, DWORD flags, LPDWORD id) {
    ++seams.createThreadCalls;
    if (security || stack || parameter || flags || !id) seams.createThreadArgumentsAsListed = false;
    if (seams.createThreadError) {
        SetLastError(seams.createThreadError);
        return nullptr;
    }
    seams.lastThread = CreateThread(security, stack, routine, parameter, flags, id);
    return seams.lastThread;
}

void TestLogSink(const wchar_t* format, va_list values) {
    wchar_t text[1024] = {};
    _vsnwprintf(text, 1023, format, values);
    seams.messages.push_back(text);
    if (seams.onMessage) seams.onMessage(text);
}

}  // namespace

void SeamsTest::SetUp() {
    seams = TestSeams();
    logonTaskPlatform = {TestCoInitializeEx,    TestCoInitializeSecurity,
                         TestCoCreateInstance,  TestCoUninitialize,
                         TestSysAllocString,    TestAllocateAndInitializeSid,
                         TestLookupAccountSidW, TestGetVersion,
                         TestCreateThread,      TestLogSink};
}

void SeamsTest::TearDown() { logonTaskPlatform = realLogonTaskPlatform; }

std::wstring Format(const wchar_t* format, HRESULT hr) {
    wchar_t text[512] = {};
    _snwprintf(text, 511, format, hr);
    return text;
}

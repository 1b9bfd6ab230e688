// Test doubles for the tool's platform table: real COM underneath, with failures on demand, and the
// messages that LogonStartLog receives.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct TestSeams {
    HRESULT coInitializeExFailure = S_OK;
    HRESULT coInitializeSecurityFailure = S_OK;
    std::vector<HRESULT> securityResults;  // what the tool was answered
    int coUninitializeCalls = 0;
    bool comArgumentsAsListed = true;  // apartment, process security and class as the tool must ask
    int bstrAllocations = 0;
    int failBstrAllocation = 0;  // 1-based; 0: none fails
    bool failSidAllocation = false;
    std::wstring administratorsName;  // non-empty: what the account look-up answers for S-1-5-32-544
    DWORD version = 0x23F00206;       // 6.2, build 9200
    int createThreadCalls = 0;
    bool createThreadArgumentsAsListed = true;
    DWORD createThreadError = 0;  // non-zero: the thread cannot be started
    HANDLE lastThread = nullptr;
    std::vector<std::wstring> messages;
    std::function<void(const std::wstring&)> onMessage;
};

extern TestSeams seams;

// Installs fresh seams around each test and puts the real platform back afterwards.
class SeamsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

std::wstring Format(const wchar_t* format, HRESULT hr);

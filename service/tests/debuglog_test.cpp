// DebugLog's lines and its binding to the trace library, with stand-in libraries in folders of
// their own so that each test binds a fresh copy.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "debuglog.h"
#include "fake_quillog.h"

namespace {

std::mutex g_linesLock;
std::vector<std::string> g_lines;
std::atomic<int> g_loads{0};
std::atomic<DWORD> g_loadDelayMs{0};

void WINAPI CaptureDebugString(LPCSTR text) {
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.push_back(text);
}

HMODULE WINAPI CountingLoad(LPCWSTR path) {
    ++g_loads;
    if (g_loadDelayMs) Sleep(g_loadDelayMs);
    return LoadLibraryW(path);
}

std::wstring BinDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        debuglog::g_api = debuglog::DEFAULT_API;
        debuglog::g_api.outputDebugStringA = CaptureDebugString;
        debuglog::g_api.loadLibraryW = CountingLoad;
        g_lines.clear();
        g_loads = 0;
        g_loadDelayMs = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = info->name();
        dir_ = std::wstring(temp) + L"orvanta log " + std::wstring(name.begin(), name.end()) + L"\\";
        CreateDirectoryW(dir_.c_str(), nullptr);
        DeleteFileW((dir_ + L"Quillog.dll").c_str());  // may fail while an earlier run's copy is loaded
        binding_.libraryPath = dir_ + L"Quillog.dll";
    }
    void TearDown() override { debuglog::g_api = debuglog::DEFAULT_API; }

    void Install(const wchar_t* variant) {
        ASSERT_TRUE(CopyFileW((BinDir() + variant).c_str(), binding_.libraryPath.c_str(), FALSE))
            << "copy failed: " << GetLastError();
    }

    void Log(const char* format, ...) {
        va_list args;
        va_start(args, format);
        debuglog::LogTo(binding_, format, args);
        va_end(args);
    }

    FakeQuillogRecords* Records() {
        if (!binding_.module) return nullptr;
        auto of = reinterpret_cast<FakeQuillogRecordsOfFn>(
            reinterpret_cast<void*>(GetProcAddress(binding_.module, "FakeQuillogRecordsOf")));
        return of ? of() : nullptr;
    }

    std::wstring dir_;
    debuglog::Binding binding_;
};

TEST_F(DebugLogTest, DebuggerAndTraceCarryTheSameTaggedTextEvenWithPerCentSigns) {
    Install(L"quillog_fake.dll");
    Log("New Event");
    Log("StartService failed (%d)", 5);
    Log("AppleDeviceFilePath: %s", "C:\\100%s %d done\\");
    std::vector<std::string> expected = {"<OrvantaService> New Event", "<OrvantaService> StartService failed (5)",
                                         "<OrvantaService> AppleDeviceFilePath: C:\\100%s %d done\\"};
    EXPECT_EQ(expected, g_lines);
    FakeQuillogRecords* r = Records();
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1, r->inits);
    ASSERT_EQ(3, r->writes);
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ("%s", r->kept[i].format);
        EXPECT_EQ(expected[i], r->kept[i].text);
    }
}

TEST_F(DebugLogTest, LibraryMissingAtFirstIsBoundOnTheFirstMessageAfterItAppears) {
    Log("one");
    Log("two");
    EXPECT_EQ(2, g_loads) << "each message while the library is missing tries again";
    EXPECT_EQ(nullptr, binding_.module);
    Install(L"quillog_fake.dll");
    Log("three");
    Log("four");
    EXPECT_EQ(3, g_loads);
    FakeQuillogRecords* r = Records();
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1, r->inits);
    ASSERT_EQ(2, r->writes);
    EXPECT_STREQ("<OrvantaService> three", r->kept[0].text);
    EXPECT_STREQ("<OrvantaService> four", r->kept[1].text);
    EXPECT_EQ(4u, g_lines.size());
}

TEST_F(DebugLogTest, LibraryWithoutWriteGivesDebuggerOutputOnlyAndIsNotLoadedAgain) {
    Install(L"quillog_fake_nowrite.dll");
    Log("first");
    Log("second");
    Log("third");
    EXPECT_EQ(1, g_loads);
    ASSERT_NE(nullptr, binding_.module);
    EXPECT_EQ(nullptr, binding_.write);
    FakeQuillogRecords* r = Records();
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1, r->inits);
    EXPECT_EQ(0, r->writes);
    std::vector<std::string> expected = {"<OrvantaService> first", "<OrvantaService> second", "<OrvantaService> third"};
    EXPECT_EQ(expected, g_lines);
}

TEST_F(DebugLogTest, MessageOver1023CharactersIsCutAndLoggingGoesOn) {
    Install(L"quillog_fake.dll");
    std::string longText(1500, 'x');
    longText[1022] = 'E';
    Log("%s", longText.c_str());
    Log("after");
    ASSERT_EQ(2u, g_lines.size());
    std::string tag = "<OrvantaService> ";
    ASSERT_EQ(tag.size() + 1023, g_lines[0].size());
    EXPECT_EQ('E', g_lines[0].back());
    EXPECT_EQ("<OrvantaService> after", g_lines[1]);
    FakeQuillogRecords* r = Records();
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(2, r->writes);
    EXPECT_EQ(g_lines[0], r->kept[0].text);
}

TEST_F(DebugLogTest, ThreadsLoggingAtOnceBindAndInitialiseOnce) {
    Install(L"quillog_fake.dll");
    g_loadDelayMs = 50;  // widens the window in which a second thread would bind again
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([this, i] { Log("thread %d", i); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, g_loads);
    FakeQuillogRecords* r = Records();
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(1, r->inits);
    EXPECT_EQ(8, r->writes);
    EXPECT_EQ(8u, g_lines.size());
}

TEST(DebugLogBinding, ProcessLoadsTheLibraryBesideTheProgramByFullPath) {
    debuglog::g_api = debuglog::DEFAULT_API;
    debuglog::g_api.outputDebugStringA = CaptureDebugString;
    debuglog::g_api.loadLibraryW = CountingLoad;
    g_loads = 0;
    DebugLog("hello");
    debuglog::g_api = debuglog::DEFAULT_API;
    EXPECT_EQ(BinDir() + L"Quillog.dll", debuglog::ProcessBinding().libraryPath);
}

}  // namespace

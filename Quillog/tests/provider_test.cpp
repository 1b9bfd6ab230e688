#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "etw_reader.h"
#include "quillog.h"

namespace {

struct CapturedEvent {
    EVENT_DESCRIPTOR descriptor;
    REGHANDLE handle;
    std::vector<uint8_t> data[3];
    ULONG types[3];
    ULONG count;
};

// Stands in for advapi32's ETW calls: remembers the registration and captures each write.
struct FakeEtw {
    std::mutex lock;
    int registers = 0, unregisters = 0, setInfos = 0;
    GUID registeredGuid{};
    PENABLECALLBACK callback = nullptr;
    void* context = nullptr;
    ULONG registerResult = 0;
    ULONG setInfoResult = 0;
    EVENT_INFO_CLASS setInfoClass{};
    std::vector<uint8_t> setInfoData;
    REGHANDLE nextHandle = 0x1234;
    REGHANDLE unregisteredHandle = 0;
    std::vector<CapturedEvent> events;
};
FakeEtw* g_fake;

ULONG WINAPI FakeRegister(LPCGUID guid, PENABLECALLBACK cb, PVOID ctx, PREGHANDLE handle) {
    g_fake->registers++;
    g_fake->registeredGuid = *guid;
    g_fake->callback = cb;
    g_fake->context = ctx;
    *handle = g_fake->registerResult ? 0 : g_fake->nextHandle++;
    return g_fake->registerResult;
}
ULONG WINAPI FakeSetInfo(REGHANDLE, EVENT_INFO_CLASS cls, PVOID info, ULONG len) {
    g_fake->setInfos++;
    g_fake->setInfoClass = cls;
    g_fake->setInfoData.assign(static_cast<uint8_t*>(info), static_cast<uint8_t*>(info) + len);
    return g_fake->setInfoResult;
}
ULONG WINAPI FakeWrite(REGHANDLE handle, PCEVENT_DESCRIPTOR d, LPCGUID activity, LPCGUID related, ULONG count,
                       PEVENT_DATA_DESCRIPTOR data) {
    CapturedEvent e{};
    e.descriptor = *d;
    e.handle = handle;
    e.count = count;
    EXPECT_EQ(nullptr, activity);
    EXPECT_EQ(nullptr, related);
    for (ULONG i = 0; i < count && i < 3; ++i) {
        auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(data[i].Ptr));
        e.data[i].assign(p, p + data[i].Size);
        e.types[i] = data[i].Reserved & 0xFF;
    }
    std::lock_guard<std::mutex> guard(g_fake->lock);
    g_fake->events.push_back(std::move(e));
    return 0;
}
ULONG WINAPI FakeUnregister(REGHANDLE handle) {
    g_fake->unregisters++;
    g_fake->unregisteredHandle = handle;
    return 0;
}

// What a consumer sees of one event: provider name, event name, field name and text.
struct Decoded {
    std::string provider, event, field, narrow;
    std::u16string wide;
    uint8_t inType = 0;
};

Decoded Decode(const CapturedEvent& e) {
    Decoded out;
    std::string error;
    EXPECT_EQ(3u, e.count);
    EXPECT_EQ(2u, e.types[0]);  // provider metadata
    EXPECT_EQ(1u, e.types[1]);  // event metadata
    EXPECT_EQ(0u, e.types[2]);
    etwread::ProviderMeta pm;
    EXPECT_TRUE(etwread::ParseProviderMeta(e.data[0].data(), e.data[0].size(), pm, error)) << error;
    EXPECT_EQ(pm.size, e.data[0].size());
    etwread::EventMeta em;
    EXPECT_TRUE(etwread::ParseEventMeta(e.data[1].data(), e.data[1].size(), em, error)) << error;
    EXPECT_EQ(em.size, e.data[1].size());
    out.provider = pm.name;
    out.event = em.name;
    if (em.fields.size() != 1) {
        ADD_FAILURE() << "expected one field, found " << em.fields.size();
        return out;
    }
    out.field = em.fields[0].name;
    out.inType = em.fields[0].inType;
    size_t offset = 0;
    EXPECT_TRUE(etwread::ReadStringField(e.data[2], offset, out.inType, out.wide, out.narrow));
    EXPECT_EQ(e.data[2].size(), offset) << "payload holds more than its one string";
    return out;
}

class QuillogProvider : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = &fake;
        quillog::g_etw = {FakeRegister, FakeSetInfo, FakeWrite, FakeUnregister};
        quillog::g_provider.levelPlusOne = 0;
        quillog::g_provider.registration = 0;
    }
    void TearDown() override {
        quillog::g_provider.levelPlusOne = 0;
        quillog::g_provider.registration = 0;
        quillog::g_etw = quillog::DEFAULT_ETW;
    }
    void Enable(UCHAR level, ULONGLONG any = 0, ULONGLONG all = 0) {
        fake.callback(&fake.registeredGuid, EVENT_CONTROL_CODE_ENABLE_PROVIDER, level, any, all, nullptr, fake.context);
    }
    void Control(ULONG code) { fake.callback(&fake.registeredGuid, code, 0, 0, 0, nullptr, fake.context); }
    FakeEtw fake;
};

TEST_F(QuillogProvider, InitRegistersTheGuidAndSetsTheNameAsTraits) {
    ASSERT_EQ(S_OK, QuillogInit());
    EXPECT_EQ(1, fake.registers);
    const GUID expected = {0x6244E94E, 0x1D66, 0x4C5B, {0xAA, 0x55, 0xA2, 0x4F, 0x31, 0x97, 0xBE, 0xE0}};
    EXPECT_TRUE(IsEqualGUID(expected, fake.registeredGuid));
    EXPECT_EQ(&quillog::g_provider, fake.context);
    EXPECT_EQ(0x1234u, quillog::g_provider.registration);
    EXPECT_EQ(1, fake.setInfos);
    EXPECT_EQ(2, static_cast<int>(fake.setInfoClass));
    ASSERT_EQ(21u, fake.setInfoData.size());
    EXPECT_EQ(0, memcmp(quillog::g_provider.providerMetadata, fake.setInfoData.data(), 21));
    EXPECT_EQ(nullptr, quillog::g_provider.chainedCallback);
}

TEST_F(QuillogProvider, RegistrationFailureMapsToHresultAndLeavesWritesDropped) {
    fake.registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(static_cast<HRESULT>(0x80070005), QuillogInit());
    EXPECT_EQ(0u, quillog::g_provider.registration);
    EXPECT_EQ(0, fake.setInfos);
    QuillogWriteA("dropped");
    EXPECT_TRUE(fake.events.empty());

    // A value already negative passes through unchanged.
    fake.registerResult = static_cast<ULONG>(0x80004005);
    EXPECT_EQ(static_cast<HRESULT>(0x80004005), QuillogInit());
}

TEST_F(QuillogProvider, FailedTraitsAreIgnored) {
    fake.setInfoResult = ERROR_NOT_SUPPORTED;
    EXPECT_EQ(S_OK, QuillogInit());
    Enable(5);
    QuillogWriteA("still written");
    EXPECT_EQ(1u, fake.events.size());
}

TEST_F(QuillogProvider, LevelDecidesAndKeywordsDoNot) {
    ASSERT_EQ(S_OK, QuillogInit());
    QuillogWriteA("registered, not enabled");
    Enable(4);
    QuillogWriteA("informational session");
    QuillogWriteW(L"informational session");
    EXPECT_EQ(0u, fake.events.size());

    Enable(5);
    QuillogWriteA("verbose");
    EXPECT_EQ(1u, fake.events.size());
    Enable(0);
    EXPECT_EQ(quillog::LEVEL_ALL, quillog::g_provider.levelPlusOne);
    QuillogWriteW(L"all levels");
    EXPECT_EQ(2u, fake.events.size());
    Enable(5, 0x10, 0x20);
    EXPECT_EQ(0x10u, quillog::g_provider.keywordAny);
    EXPECT_EQ(0x20u, quillog::g_provider.keywordAll);
    QuillogWriteA("keywords set");
    EXPECT_EQ(3u, fake.events.size());
}

TEST_F(QuillogProvider, WritesFollowTheLatestControlCode) {
    ASSERT_EQ(S_OK, QuillogInit());
    Enable(5);
    QuillogWriteA("a");
    Control(EVENT_CONTROL_CODE_DISABLE_PROVIDER);
    QuillogWriteA("b");
    Control(EVENT_CONTROL_CODE_CAPTURE_STATE);  // changes nothing
    QuillogWriteA("c");
    Enable(5);
    Control(EVENT_CONTROL_CODE_CAPTURE_STATE);
    QuillogWriteA("d");
    ASSERT_EQ(2u, fake.events.size());
    EXPECT_EQ("a", Decode(fake.events[0]).narrow);
    EXPECT_EQ("d", Decode(fake.events[1]).narrow);

    // A callback without context (not ours) is ignored.
    fake.callback(nullptr, EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, nullptr, nullptr);
    EXPECT_EQ(6u, quillog::g_provider.levelPlusOne);
}

TEST_F(QuillogProvider, NothingIsWrittenOutsideInitAndUninitAndReinitRegistersAgain) {
    QuillogWriteA("before init %d", 1);
    QuillogWriteW(L"before init");
    ASSERT_EQ(S_OK, QuillogInit());
    Enable(5);
    QuillogUninit();
    EXPECT_EQ(1, fake.unregisters);
    EXPECT_EQ(0x1234u, fake.unregisteredHandle);
    EXPECT_EQ(0u, quillog::g_provider.levelPlusOne);
    EXPECT_EQ(0u, quillog::g_provider.registration);
    QuillogWriteA("after uninit");
    EXPECT_TRUE(fake.events.empty());

    ASSERT_EQ(S_OK, QuillogInit());
    EXPECT_EQ(2, fake.registers);
    QuillogWriteA("registered, no session yet");
    Enable(5);
    QuillogWriteA("resumed");
    ASSERT_EQ(1u, fake.events.size());
    EXPECT_EQ(0x1235u, fake.events[0].handle);
}

TEST_F(QuillogProvider, SecondInitKeepsTheOneRegistration) {
    ASSERT_EQ(S_OK, QuillogInit());
    EXPECT_EQ(S_OK, QuillogInit());
    EXPECT_EQ(1, fake.registers);
}

TEST_F(QuillogProvider, EventsDecodeAsAConsumerReadsThem) {
    ASSERT_EQ(S_OK, QuillogInit());
    Enable(5);
    QuillogWriteA("service %s started in %d ms", "OrvantaService", 42);
    QuillogWriteW(L"wide %s %d", L"text", 7);
    ASSERT_EQ(2u, fake.events.size());

    const EVENT_DESCRIPTOR& a = fake.events[0].descriptor;
    EXPECT_EQ(17, a.Id);
    EXPECT_EQ(63, fake.events[1].descriptor.Id);
    for (const auto& e : fake.events) {
        EXPECT_EQ(0, e.descriptor.Version);
        EXPECT_EQ(11, e.descriptor.Channel);
        EXPECT_EQ(5, e.descriptor.Level);
        EXPECT_EQ(0, e.descriptor.Opcode);
        EXPECT_EQ(0, e.descriptor.Task);
        EXPECT_EQ(0u, e.descriptor.Keyword);
        EXPECT_EQ(0x1234u, e.handle);
    }
    Decoded narrow = Decode(fake.events[0]);
    EXPECT_EQ("OrvantaUWPProvider", narrow.provider);
    EXPECT_EQ("OrvantaUWPEvent", narrow.event);
    EXPECT_EQ("String (char)", narrow.field);
    EXPECT_EQ("service OrvantaService started in 42 ms", narrow.narrow);
    Decoded wide = Decode(fake.events[1]);
    EXPECT_EQ("String (wide char)", wide.field);
    EXPECT_EQ(u"wide text 7", wide.wide);
}

TEST_F(QuillogProvider, EmptyTextAndPerCentSignsInValues) {
    ASSERT_EQ(S_OK, QuillogInit());
    Enable(5);
    QuillogWriteA("");
    QuillogWriteW(L"");
    QuillogWriteA("%s", "100% done %d %s");
    ASSERT_EQ(3u, fake.events.size());
    EXPECT_EQ(std::vector<uint8_t>{0}, fake.events[0].data[2]);
    EXPECT_EQ(std::vector<uint8_t>(2, 0), fake.events[1].data[2]);
    EXPECT_EQ("100% done %d %s", Decode(fake.events[2]).narrow);
}

TEST_F(QuillogProvider, OverlongMessagesAreCutToTheBuffer) {
    ASSERT_EQ(S_OK, QuillogInit());
    Enable(5);
    std::string longText(5000, 'n');
    std::wstring longWide(5000, L'w');
    QuillogWriteA("%s", longText.c_str());
    QuillogWriteW(L"%s", longWide.c_str());
    ASSERT_EQ(2u, fake.events.size());
    EXPECT_EQ(1024u, fake.events[0].data[2].size());
    EXPECT_EQ(std::string(1023, 'n'), Decode(fake.events[0]).narrow);
    EXPECT_EQ(2048u, fake.events[1].data[2].size());
    EXPECT_EQ(std::u16string(1023, u'w'), Decode(fake.events[1]).wide);

    // A cut through a surrogate pair drops its first half too.
    QuillogWriteW(L"%s\U0001F600tail", std::wstring(1022, L'w').c_str());
    ASSERT_EQ(3u, fake.events.size());
    EXPECT_EQ(std::u16string(1022, u'w'), Decode(fake.events[2]).wide);
    // A pair that ends right at the cut is whole and stays, low half included.
    QuillogWriteW(L"%s\U0001F600tail", std::wstring(1021, L'w').c_str());
    ASSERT_EQ(4u, fake.events.size());
    EXPECT_EQ(std::u16string(1021, u'w') + u"\U0001F600", Decode(fake.events[3]).wide);
}

TEST(QuillogCut, PartialCharacterAtTheCutIsLeftOut) {
    // Shift-JIS: 0x82 0xA0 is one character; its trail byte may also be a lead byte (0x82 0x82).
    const std::string sjis = std::string(1022, 'n') + "\x82\xA0";
    EXPECT_EQ(1022u, quillog::WholeCharacters(sjis.c_str(), 1023, 932));
    const std::string pairs = std::string(1, 'n') + std::string(1022, '\x82') + "\x82";
    EXPECT_EQ(1023u, quillog::WholeCharacters(pairs.c_str(), 1023, 932));
    EXPECT_EQ(1020u, quillog::WholeCharacters(pairs.c_str() + 1, 1021, 932));
    // UTF-8: a three-byte character with one byte cut off, and a whole one.
    const std::string utf8 = "ab\xE2\x80\x99";
    EXPECT_EQ(2u, quillog::WholeCharacters(utf8.c_str(), 4, CP_UTF8));
    EXPECT_EQ(5u, quillog::WholeCharacters(utf8.c_str(), 5, CP_UTF8));
    EXPECT_EQ(1023u, quillog::WholeCharacters(std::string(1023, 'n').c_str(), 1023, 1252));
}

TEST_F(QuillogProvider, ConcurrentWritersEachProduceTheirOwnIntactEvent) {
    ASSERT_EQ(S_OK, QuillogInit());
    Enable(5);
    constexpr int THREADS = 8, WRITES = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < WRITES; ++i) {
                if (i % 2)
                    QuillogWriteW(L"thread %d write %d %s", t, i, L"wide padding to make the text longer");
                else
                    QuillogWriteA("thread %d write %d %s", t, i, "narrow padding to make the text longer");
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(static_cast<size_t>(THREADS * WRITES), fake.events.size());
    std::vector<std::vector<bool>> seen(THREADS, std::vector<bool>(WRITES));
    for (const auto& e : fake.events) {
        Decoded d = Decode(e);
        std::string text = d.inType == 2 ? d.narrow : std::string(d.wide.begin(), d.wide.end());
        int t = -1, i = -1;
        char padding[64] = {};
        ASSERT_EQ(3, sscanf(text.c_str(), "thread %d write %d %63[^\n]", &t, &i, padding)) << text;
        ASSERT_TRUE(t >= 0 && t < THREADS && i >= 0 && i < WRITES) << text;
        EXPECT_EQ(i % 2 ? 1 : 2, d.inType) << text;
        EXPECT_EQ(std::string(i % 2 ? "wide" : "narrow") + " padding to make the text longer", padding);
        EXPECT_FALSE(seen[t][i]) << "duplicate " << text;
        seen[t][i] = true;
    }
}

}  // namespace

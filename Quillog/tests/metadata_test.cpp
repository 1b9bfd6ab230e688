#include <gtest/gtest.h>

#include "etw_reader.h"
#include "quillog.h"

namespace {

TEST(QuillogMetadata, BlockDecodesToProviderAndBothEvents) {
    etwread::Block block;
    std::string error;
    ASSERT_TRUE(etwread::ParseBlock(quillog::g_metadata, quillog::METADATA_SIZE, block, error)) << error;

    EXPECT_EQ(16, block.headerSize);
    EXPECT_EQ(0xBB8A052B88040E86ull, block.magic);
    EXPECT_EQ("OrvantaUWPProvider", block.provider.name);
    EXPECT_EQ(21, block.provider.size);
    const uint8_t guid[16] = {0x4E, 0xE9, 0x44, 0x62, 0x66, 0x1D, 0x5B, 0x4C,
                              0xAA, 0x55, 0xA2, 0x4F, 0x31, 0x97, 0xBE, 0xE0};
    EXPECT_EQ(0, memcmp(guid, block.providerGuid, 16));

    ASSERT_EQ(2u, block.events.size());
    struct Expected {
        size_t id;
        uint16_t size;
        const char* field;
        uint8_t inType;
    } expected[] = {{17, 34, "String (char)", 2}, {63, 39, "String (wide char)", 1}};
    for (size_t i = 0; i < 2; ++i) {
        const auto& e = block.events[i];
        SCOPED_TRACE(expected[i].field);
        EXPECT_EQ(expected[i].id, e.channelOffset);
        EXPECT_EQ(11, e.channel);
        EXPECT_EQ(5, e.level);
        EXPECT_EQ(0, e.opcode);
        EXPECT_EQ(0u, e.keyword);
        EXPECT_EQ(expected[i].size, e.meta.size);
        EXPECT_EQ("OrvantaUWPEvent", e.meta.name);
        ASSERT_EQ(1u, e.meta.fields.size());
        EXPECT_EQ(expected[i].field, e.meta.fields[0].name);
        EXPECT_EQ(expected[i].inType, e.meta.fields[0].inType);
        EXPECT_EQ(0, e.meta.fields[0].outType);
    }
}

TEST(QuillogMetadata, ProviderRecordPointsAtProviderBlobAfterItsGuid) {
    const uint8_t* meta = quillog::g_provider.providerMetadata;
    EXPECT_EQ(quillog::g_metadata + quillog::METADATA_SIZE - 21, meta);
    etwread::ProviderMeta provider;
    std::string error;
    ASSERT_TRUE(etwread::ParseProviderMeta(meta, 21, provider, error)) << error;
    EXPECT_EQ("OrvantaUWPProvider", provider.name);
    EXPECT_EQ(0x4E, meta[-16]);  // the GUID sits right in front of the size field
    EXPECT_EQ(0xE0, meta[-1]);
}

}  // namespace

#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "debuglog.h"

namespace {

TEST(DebugLog, TextWithoutLineFeedGetsTheTagAndNothingElse) {
    Capture capture;
    DebugLog("CoCreateInstance Fail");
    EXPECT_EQ(1, capture.debugCalls());
    EXPECT_EQ(std::vector<std::string>{"<StartupUSBOrvanta> CoCreateInstance Fail"}, capture.debug());
}

TEST(DebugLog, FormattedValueAndLineFeedGoOutInOnePiece) {
    Capture capture;
    DebugLog("Delay Time: %u\n", 30u);
    EXPECT_EQ(1, capture.debugCalls());
    EXPECT_EQ(std::vector<std::string>{"<StartupUSBOrvanta> Delay Time: 30\n"}, capture.debug());
}

TEST(DebugLog, MessageOver1023CharactersIsCutAndLoggingGoesOn) {
    const std::string exact(1023, 'a');
    const std::string over(5000, 'b');
    Capture capture;
    DebugLog("%s", exact.c_str());
    DebugLog("Output: %s\n", over.c_str());
    DebugLog("after");
    const auto texts = capture.debug();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(DEBUG_LOG_TAG + exact, texts[0]);
    // "Output: " and 1015 of the b's make the 1023 characters; the line feed is cut off too.
    EXPECT_EQ(DEBUG_LOG_TAG + ("Output: " + std::string(1015, 'b')), texts[1]);
    EXPECT_EQ("<StartupUSBOrvanta> after", texts[2]);
}

}  // namespace

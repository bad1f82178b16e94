// The iconv binding: descriptors, the switch, and conversions that must neither lose output nor stall.
#include "mime/charset/iconv_binding.h"

#include <gtest/gtest.h>

#include <string>
using namespace maildig;

namespace {

// Converts text with a fresh descriptor, closing it again.
std::string Convert(const std::string& to, const std::string& from, const std::string& text,
                    std::size_t unit = 1) {
    TIconvDescriptor descriptor = IconvOpen(to, from);
    EXPECT_NE(descriptor, kNoIconv) << from << " -> " << to;
    std::string output = "stale";
    IconvConvert(descriptor, text, output, unit);
    IconvClose(descriptor);
    EXPECT_EQ(descriptor, kNoIconv);
    return output;
}

} // namespace

TEST(IconvBinding, SwitchLeavesOnlyTheBuiltInConverters) {
    SetIconvDisabled(true);
    EXPECT_FALSE(LoadIconv());
    EXPECT_EQ(IconvOpen("UTF-8", "ISO-8859-1"), kNoIconv);
    std::string output = "stale";
    IconvConvert(kNoIconv, "abc", output);
    EXPECT_EQ(output, "");
    SetIconvDisabled(false);
    EXPECT_TRUE(LoadIconv());
    UnloadIconv();
    EXPECT_TRUE(LoadIconv()); // loading again after an unload works
}

TEST(IconvBinding, UnknownNamesGiveNoDescriptor) {
    EXPECT_EQ(IconvOpen("UCS-2BE", "CP-895"), kNoIconv);
    EXPECT_EQ(IconvOpen("mUTF-7", "UCS-2BE"), kNoIconv);
    EXPECT_EQ(IconvOpen("", "NO-SUCH-CHARSET"), kNoIconv);
    TIconvDescriptor none = kNoIconv;
    IconvClose(none); // closing nothing is harmless
    EXPECT_EQ(none, kNoIconv);
}

TEST(IconvConvert, OutputGrowsPastTheFirstGuess) {
    // Latin-1 to UCS-4 is four bytes per input byte.
    const std::string out = Convert("UCS-4BE", "ISO-8859-1", std::string(100000, 'a'));
    ASSERT_EQ(out.size(), 400000u);
    EXPECT_EQ(out.substr(399996), std::string("\0\0\0a", 4));
}

TEST(IconvConvert, SkipsInvalidInputAndGoesOn) {
    struct Case {
        const char* what;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"invalid byte in the middle",
         "ab\xFF"
         "cd",
         std::string("\0a\0b\0c\0d", 8)},
        {"cut-off sequence at the end", "ab\xC3", std::string("\0a\0b", 4)},
        {"only invalid bytes", "\xFF\xFE\xFF", ""},
        {"empty", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Convert("UCS-2BE//IGNORE", "UTF-8", c.text), c.expected) << c.what;

    // Many invalid bytes between valid ones, far more than any buffer guess.
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "a\xFF\xC3\xA9";
    const std::string out = Convert("UTF-8//IGNORE", "UTF-8", text);
    EXPECT_EQ(out.size(), 60000u);
}

TEST(IconvConvert, FlushesStatefulEncodings) {
    // ISO-2022-JP must return to ASCII at the end of the text.
    EXPECT_EQ(Convert("ISO-2022-JP//IGNORE", "UTF-8", "\xE3\x81\x82"), "\x1B$B$\"\x1B(B");
}

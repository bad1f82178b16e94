// Encoded words in header values: finding their end and decoding them into a target charset.
#include "mime/encoded_words.h"

#include <gtest/gtest.h>

#include <string>
using namespace maildig;

namespace {

struct WordCase {
    const char* value;
    TMimeChar target;
    std::string expected;
};

class DecodeHeaderWordsCases : public testing::TestWithParam<WordCase> {};

TEST_P(DecodeHeaderWordsCases, DecodesAsExpected) {
    const WordCase& c = GetParam();
    EXPECT_EQ(DecodeHeaderWords(c.value, c.target), c.expected) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecodeHeaderWordsCases,
    testing::Values(
        // No encoded word: unchanged, blanks included.
        WordCase{"  plain text  ", UTF_8, "  plain text  "}, WordCase{"", UTF_8, ""},
        // Text before a word stays when it is not blank-only.
        WordCase{"Re: =?ISO-8859-1?Q?Caf=E9?=", UTF_8, "Re: Caf\xC3\xA9"},
        WordCase{"Re: =?ISO-8859-1?Q?Caf=E9?=", ISO_8859_1, "Re: Caf\xE9"},
        // Blank-only text between words (also from an unfolded line break) is dropped.
        WordCase{"=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=", UTF_8, "ab"},
        WordCase{"=?UTF-8?Q?a?= \t =?UTF-8?Q?b?=", UTF_8, "ab"}, WordCase{"  =?UTF-8?Q?a?=", UTF_8, "a"},
        WordCase{"=?UTF-8?B?QUJD?=", UTF_8, "ABC"}, WordCase{"=?UTF-8?B?w6k=?=", ISO_8859_1, "\xE9"},
        // Lower-case letters; "_" is a blank in Q words only.
        WordCase{"=?utf-8?q?a_b?=", UTF_8, "a b"}, WordCase{"=?utf-8?b?QUJD?=", UTF_8, "ABC"},
        // A language tag after "*" is ignored.
        WordCase{"=?ISO-8859-1*en?Q?=E9?=", UTF_8, "\xC3\xA9"},
        // Unknown coding letter: the word stays, blank-only text before it still goes.
        WordCase{"x =?ISO-8859-1?X?abc?=", UTF_8, "x =?ISO-8859-1?X?abc?="},
        WordCase{"=?UTF-8?Q?a?= =?ISO-8859-1?X?abc?=", UTF_8, "a=?ISO-8859-1?X?abc?="},
        // Unclosed words.
        WordCase{"=?ISO-8859-1?Q?abc", UTF_8, "=?ISO-8859-1?Q?abc"},
        WordCase{"=?UTF-8?Q?a?= =?broken", UTF_8, "a =?broken"},
        WordCase{"=?"
                 "?=",
                 UTF_8,
                 "=?"
                 "?="},
        // Text after the last word is kept whole.
        WordCase{"=?UTF-8?Q?a?=  tail  ", UTF_8, "a  tail  "},
        // A "?" inside the text that is not followed by "=" does not end the word.
        WordCase{"=?UTF-8?Q?a?b?=", UTF_8, "a?b"},
        WordCase{"=?UTF-8?Q?"
                 "?=",
                 UTF_8, ""},
        // A word without the second "?" right after the letter is kept as is.
        WordCase{"=?UTF-8?QQ?x?=", UTF_8, "=?UTF-8?QQ?x?="},
        // Text outside words is never converted.
        WordCase{"\xE9 =?UTF-8?Q?=C3=A9?=", ISO_8859_1, "\xE9 \xE9"}));

TEST(FindEncodedWordEnd, SkipsTheCharsetAndLetterMarks) {
    const std::string v = "x =?UTF-8?Q?a?=b?= y";
    EXPECT_EQ(FindEncodedWordEnd(v, 2), 13u);
    EXPECT_EQ(FindEncodedWordEnd("=?a?=b?c?=", 0), 8u); // "?=" right after the name is not the end
    EXPECT_EQ(FindEncodedWordEnd("=?a?b?c", 0), std::string::npos);
    EXPECT_EQ(FindEncodedWordEnd("=?a?b?c?", 0), std::string::npos); // last "?" has no "=" after it
    EXPECT_EQ(FindEncodedWordEnd("=?", 0), std::string::npos);
    EXPECT_EQ(FindEncodedWordEnd("abc", std::string::npos), std::string::npos);
}

TEST(DecodeHeaderWords, ManyWordsStayLinear) {
    std::string value;
    std::string expected;
    for (int i = 0; i < 200000; ++i) {
        value += "=?UTF-8?Q?ab?= ";
        expected += "ab";
    }
    EXPECT_EQ(DecodeHeaderWords(value, UTF_8), expected + " ");
}

} // namespace

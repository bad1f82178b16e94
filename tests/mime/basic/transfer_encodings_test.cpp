#include "mime/basic/transfer_encodings.h"

#include <gtest/gtest.h>

#include <string>
using namespace maildig;

namespace {

struct Case {
    std::string in;
    std::string out;
};

TEST(DecodeQuotedPrintable, EscapesSoftBreaksAndMalformedEscapes) {
    const Case cases[] = {
        {"caf=E9", "caf\xE9"}, {"caf=e9", "caf\xE9"}, {"a=3db", "a=b"},  {"a=\r\nb", "ab"},
        {"a=\rb", "ab"},       {"a=\nb", "ab"},       {"a=\n\rb", "ab"}, {"a\r\nb", "a\r\nb"},
        {"50=", "50"},         {"x=3", "x"},          {"=ZZ", "=ZZ"},    {"=G1", "=G1"},
        {"=4=41", "=4A"},      {"==41", "=A"},        {"", ""},          {"=00", std::string(1, '\0')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeQuotedPrintable(c.in), c.out) << c.in;
}

TEST(DecodeHexEscapes, UsesTheGivenEscapeCharacter) {
    EXPECT_EQ(DecodeHexEscapes("a%20b=20", '%'), "a b=20");
    EXPECT_EQ(DecodeHexEscapes("%%41", '%'), "%A");
}

TEST(Base64Decode, SkipsNonDigitsAndDecodesPendingDigits) {
    const Case cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QUI", "AB"},
        {"QQ", "A"},
        {"Q", ""},
        {"", ""},
        {"QU\r\nJD", "ABC"},
        {"QU\r\nJDQUJDQUI=", "ABCABCAB"},
        {"Q U J D", "ABC"},
        {"QQ==QQ==", "AA"},
        {"QUI=QUJD", "ABABC"},
        {"=QUJD=", "ABC"},
        {"Q=Q=", "\x41"},
        {"\x80QUJD\xFF", "ABC"},
        {"QUJ\x7F\x44~QU\xC0JD", "ABCABC"},
        {"////", "\xFF\xFF\xFF"},
        {"+/+/", "\xFB\xFF\xBF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Base64Decode(c.in), c.out) << c.in;
}

TEST(Base64Encode, PadsTheLastGroup) {
    const Case cases[] = {{"ABC", "QUJD"}, {"AB", "QUI="}, {"A", "QQ=="}, {"", ""}, {"\xFF\xFF\xFF", "////"}};
    for (const auto& c : cases)
        EXPECT_EQ(Base64Encode(c.in), c.out) << c.in;
}

TEST(Base64, RoundTripsEveryByteValueAtEveryLength) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t len = 0; len <= all.size(); len += 37) {
        const std::string s = all.substr(0, len);
        EXPECT_EQ(Base64Decode(Base64Encode(s)), s);
        EXPECT_EQ(Base64CommaDecode(Base64CommaEncode(s)), s);
    }
}

TEST(Base64Comma, UsesCommaForDigit63) {
    EXPECT_EQ(Base64CommaEncode("\xFF\xFF\xFF"), ",,,,");
    EXPECT_EQ(Base64CommaEncode("A"), "QQ==");
    EXPECT_EQ(Base64CommaDecode(",,,,"), "\xFF\xFF\xFF");
}

TEST(DecodeQuads, PadEndsOnlyItsOwnGroupAndUnknownCharactersCountAsZero) {
    EXPECT_EQ(DecodeQuads("QQ==QUJD", Base64Alphabet), "AABC");
    EXPECT_EQ(DecodeQuads("QUI=", Base64Alphabet), "AB");
    // The end of the text pads the last group.
    EXPECT_EQ(DecodeQuads("QUI", Base64Alphabet), "AB");
    // A single digit still yields its first byte (the missing digit counts as 0).
    EXPECT_EQ(DecodeQuads("Q", Base64Alphabet), "@");
    EXPECT_EQ(DecodeQuads("**==", Base64Alphabet), std::string(1, '\0'));
    EXPECT_EQ(DecodeQuads("", Base64Alphabet), "");
}

TEST(EncodeTriads, DropsPaddingWithoutA65thCharacter) {
    EXPECT_EQ(EncodeTriads("A", XXAlphabet).size(), 2u);
    EXPECT_EQ(EncodeTriads("AB", XXAlphabet).size(), 3u);
    EXPECT_EQ(EncodeTriads("ABC", XXAlphabet).size(), 4u);
}

TEST(UUDecode, LengthCharacterDecidesTheByteCount) {
    const Case cases[] = {
        {"begin 644 name", ""},
        {"BEGIN 644 name", ""},
        {"end", ""},
        {"  end  ", ""},
        {"table", ""},
        {"", ""},
        {"   ", ""},
        {"`", ""},
        {"#86)C", "abc"},
        {"#86)C\r\n", "abc"},
        // Cut-off data is padded with blanks, which count as 0.
        {"#86", std::string("a`\0", 3)},
        {"!80", "a"},
        {"\"86(", "ab"},
        {"M5&AE('%U:6-K(&)R;W=N(&9O>\"!J=6UP<R!O=F5R('1H92!L87IY(&1O9R!A\n",
         "The quick brown fox jumps over the lazy dog a"},
        {"~abc", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UUDecode(c.in), c.out) << c.in;
}

TEST(XXDecode, LengthCharacterDecidesTheByteCount) {
    const std::string line = "h" + EncodeTriads(std::string(45, 'x'), XXAlphabet);
    ASSERT_EQ(line.size(), 61u);
    EXPECT_EQ(XXDecode(line), std::string(45, 'x'));
    EXPECT_EQ(XXDecode(line + "trailing junk"), std::string(45, 'x'));
    EXPECT_EQ(XXDecode("1" + EncodeTriads("abc", XXAlphabet)), "abc");
    EXPECT_EQ(XXDecode("+"), "");
    EXPECT_EQ(XXDecode("begin 644 f"), "");
    EXPECT_EQ(XXDecode("end"), "");
    // "table" is a header line for UU only; in XX 't' announces 57 bytes, padded from the few characters
    // given.
    EXPECT_EQ(XXDecode("table").size(), 57u);
    EXPECT_EQ(XXDecode("*abc").size(), 0u);
}

TEST(TransferEncodings, LargeInputsDecodeInFullAndInLinearTime) {
    const std::string bytes(2 << 20, '\xA5');
    const std::string b64 = Base64Encode(bytes);
    EXPECT_EQ(Base64Decode(b64), bytes);
    std::string qp;
    qp.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        qp += "=A5";
    EXPECT_EQ(DecodeQuotedPrintable(qp), bytes);
}

} // namespace

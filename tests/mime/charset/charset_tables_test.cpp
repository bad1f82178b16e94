// The generated upper-half tables: known code points, and the committed file matching its generator.
#include "mime/charset/charset_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
using namespace maildig;

TEST(CharsetTables, HoldKnownCodePoints) {
    struct Case {
        TMimeChar charset;
        int byte;
        unsigned unit;
    };
    const Case cases[] = {
        {ISO_8859_1, 0x80, 0x0080},  {ISO_8859_1, 0xFF, 0x00FF}, {ISO_8859_2, 0xA1, 0x0104},
        {ISO_8859_5, 0xB0, 0x0410},  {ISO_8859_6, 0xA1, 0xFFFD}, {ISO_8859_6, 0xC7, 0x0627},
        {ISO_8859_7, 0xA4, 0xFFFD},  {ISO_8859_7, 0xA5, 0xFFFD}, {ISO_8859_7, 0xAA, 0xFFFD},
        {ISO_8859_7, 0xA1, 0x2018},  {ISO_8859_7, 0xC1, 0x0391}, {ISO_8859_8, 0xE0, 0x05D0},
        {ISO_8859_15, 0xA4, 0x20AC}, {CP1250, 0x8A, 0x0160},     {CP1251, 0xC0, 0x0410},
        {CP1252, 0x80, 0x20AC},      {CP1252, 0x81, 0xFFFD},     {CP1252, 0x9F, 0x0178},
        {CP1253, 0xAA, 0xFFFD},      {CP1255, 0xE0, 0x05D0},     {CP1258, 0xD2, 0x0309},
        {KOI8_R, 0xC1, 0x0430},      {KOI8_R, 0xB3, 0x0401},     {CP852, 0x80, 0x00C7},
        {CP852, 0xFF, 0x00A0},       {CP895, 0x80, 0x010C},      {CP895, 0xB0, 0x2591},
        {CP895, 0xFF, 0x00A0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpperHalfTable(c.charset)[c.byte - 0x80], c.unit)
            << CharsetName(c.charset) << " " << c.byte;
}

TEST(CharsetTables, OneTablePerCharsetAndLatin1ForTheRest) {
    std::set<TMimeChar> seen;
    for (const TCharsetTable& table : CharsetTables)
        EXPECT_TRUE(seen.insert(table.Charset).second) << CharsetName(table.Charset);
    EXPECT_TRUE(HasUpperHalfTable(CP895));
    EXPECT_FALSE(HasUpperHalfTable(CP866));
    EXPECT_EQ(&UpperHalfTable(CP866), &UpperHalfTable(ISO_8859_1));
}

TEST(CharsetTables, CommittedFileMatchesTheGenerator) {
    const std::string generated = std::string(MAILDIG_SCRATCH_DIR) + "/charset_tables.cpp";
    const std::string command =
        std::string("python3 ") + MAILDIG_SOURCE_DIR + "/tools/gen_charset_tables.py " + generated;
    if (std::system("python3 -c 'import codecs' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 is not available";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::string committed =
        read(std::string(MAILDIG_SOURCE_DIR) + "/src/mime/charset/charset_tables.cpp");
    ASSERT_FALSE(committed.empty());
    EXPECT_TRUE(read(generated) == committed) << "run tools/gen_charset_tables.py and commit its output";
}

// parseCmdLine on command lines that parse: option effects, argument forms of the long-option parser,
// positional words, and the field rules of --login.
#include "cli/params.h"

#include <gtest/gtest.h>

#include <vector>
using namespace maildig;

namespace {

TParams params;

// Parses maildig followed by args into params.
void parse(std::vector<std::string> args) {
    std::vector<std::string> words{"maildig"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    parseCmdLine(static_cast<int>(words.size()), argv.data(), params);
}

TEST(ParseCmdLine, DefaultsWithACompleteLogin) {
    parse({"-l", "h,u,p"});
    EXPECT_EQ(params.host, "h");
    EXPECT_EQ(params.user, "u");
    EXPECT_EQ(params.pass, "p");
    EXPECT_EQ(params.port, 110);
    EXPECT_EQ(params.action, find_action);
    EXPECT_EQ(params.range, range_first);
    EXPECT_EQ(params.maxSize, 10);
    EXPECT_FALSE(params.verbose);
    EXPECT_EQ(params.SearchStr, "");
}

TEST(ParseCmdLine, PositionalWordsAreJoinedByOneBlankAndTrimmed) {
    struct Case {
        std::vector<std::string> words;
        std::string searchStr;
    };
    const Case cases[] = {
        {{"abc", "def"}, "abc def"}, {{" abc "}, "abc"}, {{"a  b", "c"}, "a  b c"}, {{"", "x"}, "x"},
        {{"--", "-h", "x"}, "-h x"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-l", "h,u,p"};
        args.insert(args.end(), c.words.begin(), c.words.end());
        parse(args);
        EXPECT_EQ(params.SearchStr, c.searchStr);
        EXPECT_EQ(params.action, find_action);
    }
}

TEST(ParseCmdLine, OptionsMayFollowPositionalWords) {
    parse({"abc", "-f", " bob ", "def", "--to=alfred", "--subj", "big one", "-m7", "-lh,u,p"});
    EXPECT_EQ(params.SearchStr, "abc def");
    EXPECT_EQ(params.fromaddr, "bob");
    EXPECT_EQ(params.toaddr, "alfred");
    EXPECT_EQ(params.subject, "big one");
    EXPECT_EQ(params.maxSize, 7);
    EXPECT_EQ(params.host, "h");
}

TEST(ParseCmdLine, LastActionOptionWins) {
    struct Case {
        std::vector<std::string> args;
        TAction action;
    };
    const Case cases[] = {
        {{"-v", "-d", "x"}, delete_action},
        {{"-d", "-a", "find", "x"}, find_action},
        {{"--action", "VIEW", "x"}, view_action},
        {{"--act=Delete", "x"}, delete_action},
        {{"-h", "-v", "x"}, view_action},
        {{"-v", "x", "--help"}, help_action},
        {{"--vers"}, version_action},
        {{"--verb", "-h"}, help_action},
        {{"-w", " f.cfg "}, write_action},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-l", "h,u,p"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        parse(args);
        EXPECT_EQ(params.action, c.action) << c.args[0];
    }
    EXPECT_EQ(params.writeFname, "f.cfg");
}

TEST(ParseCmdLine, HelpAndVersionSkipTheChecks) {
    parse({"-h"});
    EXPECT_EQ(params.action, help_action);
    parse({"-v", "--version"});
    EXPECT_EQ(params.action, version_action);
    parse({"-c", "missing.cfg", "-l", "h,u,p", "--help"});
    EXPECT_EQ(params.configFname, "missing.cfg");
}

TEST(ParseCmdLine, RangeAndVerbose) {
    parse({"-l", "h,u,p", "--range=all", "--verbose"});
    EXPECT_EQ(params.range, range_all);
    EXPECT_TRUE(params.verbose);
    EXPECT_FALSE(params.keepHeads);
    parse({"-l", "h,u,p", "--k"}); // --keep-heads: no other option begins with k
    EXPECT_TRUE(params.keepHeads);
    parse({"-l", "h,u,p", "-r", "ALL", "-r", "First"});
    EXPECT_EQ(params.range, range_first);
}

TEST(ParseCmdLine, UidOptionIsAcceptedWithoutEffect) {
    parse({"-l", "h,u,p", "--uid", "77", "abc"});
    EXPECT_EQ(params.SearchStr, "abc");
    EXPECT_EQ(params.action, find_action);
}

TEST(ParseCmdLine, MaxSizeIsTrimmedAndBoundedSoThatTimesThousandFits) {
    struct Case {
        std::string arg;
        int maxSize;
    };
    const Case cases[] = {
        {" 20 ", 20},
        {"-3", -3},
        {"-", 0},
        {"0", 0},
        {"2147483", 2147483},
        {"2147484", 2147483},
        {"-2147484", -2147483},
        {"2147483647", 2147483},
        {"99999999999", 0},
    };
    for (const Case& c : cases) {
        parse({"-l", "h,u,p", "-m", c.arg});
        EXPECT_EQ(params.maxSize, c.maxSize) << c.arg;
    }
}

TEST(ParseLogin, FieldsAreTrimmedUnquotedAndPortIsOptional) {
    struct Case {
        std::string login;
        std::string host, user, pass;
        int port;
    };
    const Case cases[] = {
        {"h,u,p", "h", "u", "p", 110},
        {" pop.example.com , me@example.com , secret ,995", "pop.example.com", "me@example.com", "secret",
         995},
        {"h,u,'a,b',  995 ", "h", "u", "a,b", 995},
        {"h,u,' sp '", "h", "u", " sp ", 110},
        {"h,u,'''", "h", "u", "'", 110},
        {"h,u,''''", "h", "u", "''", 110},
        {"h,u,p,-", "h", "u", "p", 0},
    };
    for (const Case& c : cases) {
        parse({"-l", c.login});
        EXPECT_EQ(params.host, c.host) << c.login;
        EXPECT_EQ(params.user, c.user) << c.login;
        EXPECT_EQ(params.pass, c.pass) << c.login;
        EXPECT_EQ(params.port, c.port) << c.login;
    }
}

TEST(ParseLogin, ALaterLoginWithThreeFieldsKeepsTheEarlierPort) {
    parse({"-l", "a,b,c,995", "-l", "h,u,p"});
    EXPECT_EQ(params.host, "h");
    EXPECT_EQ(params.port, 995);
}

TEST(ParseCmdLine, NamesOfTheEnumerations) {
    EXPECT_STREQ(actionName(find_action), "find_action");
    EXPECT_STREQ(actionName(write_action), "write_action");
    EXPECT_STREQ(rangeName(range_all), "range_all");
}

} // namespace

// quit: the message block on standard error, the verbose closing line and the codes outside the table.
#include "cli/quit.h"
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
using namespace maildig;

namespace {

RunResult quitInChild(int code, const std::string& text, bool verbose) {
    return runInChild([&] { quit(code, text, verbose); });
}

TEST(Quit, WritesTheMessageBetweenEmptyLinesAndExitsWithTheCode) {
    struct Case {
        int code;
        std::string text, err;
    };
    const Case cases[] = {
        {0, "", "\nNo Error.\n\n"},
        {1, "", "\nNo matching message found. \n\n"},
        {2, "x", "\nOne of the arguments is missing required subparm. \n\n"},
        {4, "u(117)", "\nparseCmdLine case out of range: u(117)\n\n"},
        {9, "", "\nsslDoConnect failed. SSL problem.\n\n"},
        {24, "\nwhy", "\nPassword command failed.\nwhy\n\n"},
        {10, "",
         "\nLogin to mailbox failed. Check --login parameters.\n"
         "Also use --verbose to verify parameters were parsed properly.\n\n"},
        {13, "", "\ncase action statement out of range\n\n"},
        {15, "", "\nPOP2 server must support TOP command.\n\n"},
        {20, "1 a b", "\nPOP UIDL command returned something unexpected: 1 a b\n\n"},
        {21, "f.cfg", "\nFile f.cfg appears to be corrupted.\n\n"},
        {22, "ignored", "\n--login parameters wrong. Use -h for help.\n\n"},
        {18, "%s %d", "\nUnable to access config file %s %d\n\n"},
    };
    for (const Case& c : cases) {
        RunResult r = quitInChild(c.code, c.text, false);
        EXPECT_EQ(r.exitCode, c.code);
        EXPECT_EQ(r.err, c.err) << "code " << c.code;
        EXPECT_EQ(r.out, "");
    }
}

TEST(Quit, CodesOutsideTheTableBecomeCodeThreeWithTheCodeAsText) {
    for (int code : {99, -1, 25, INT32_MIN}) {
        RunResult r = quitInChild(code, "text", false);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.err, "\n\nUknown error passed to quit: " + std::to_string(code) + "\n\n");
    }
}

TEST(Quit, VerboseAddsTheExitingLine) {
    RunResult r = quitInChild(7, "", true);
    EXPECT_EQ(r.exitCode, 7);
    EXPECT_EQ(r.err, "\nYou must specify a string or UID to find.\n\n  Exiting with exitcode set to 7\n");

    r = quitInChild(-5, "", true);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "\n\nUknown error passed to quit: -5\n\n  Exiting with exitcode set to 3\n");
}

TEST(Quit, OutputWrittenBeforeIsFlushed) {
    RunResult r = runInChild([] {
        std::fputs("partial", stdout);
        quit(12, {}, false);
    });
    EXPECT_EQ(r.exitCode, 12);
    EXPECT_EQ(r.out, "partial");
}

TEST(Quit, OutputWrittenBeforeComesBeforeTheMessageOnASharedStream) {
    struct Case {
        int code;
        bool verbose;
        std::string err;
    };
    const Case cases[] = {
        {1, false, "uid-1\nNo matching message found. \n\n"},
        {17, true, "uid-1\nUnable to delete message from POP server.\n\n  Exiting with exitcode set to 17\n"},
        {99, false, "uid-1\n\nUknown error passed to quit: 99\n\n"},
    };
    for (const Case& c : cases) {
        RunOptions shared;
        shared.childSetUp = [] { ::dup2(2, 1); }; // standard output into the standard error pipe
        RunResult r = runInChild(
            [&] {
                std::fputs("uid-1", stdout); // still in the stdio buffer when quit starts
                quit(c.code, {}, c.verbose);
            },
            shared);
        EXPECT_EQ(r.err, c.err) << "code " << c.code;
    }
}

} // namespace

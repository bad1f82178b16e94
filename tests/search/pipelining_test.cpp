// The pipelined walks: with PIPELINING in the CAPA reply several TOP commands are in flight (a full window
// for
// --range all, a growing one for --range first), yet standard output, standard error and the exit code are
// exactly those of the one-by-one walk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pop3/pop3_send.h"
#include "search/script_steps.h"
#include "support/run_program.h"
#include "support/scripted_pop3_server.h"
using namespace maildig;

namespace {

// A mailbox read from an mbox file: the lines of each message, "From " separators removed.
std::vector<std::vector<std::string>> readMbox(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::vector<std::string>> messages;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("From ", 0) == 0) {
            messages.emplace_back();
            continue;
        }
        if (messages.empty()) continue;
        if (line.rfind(">From ", 0) == 0) line.erase(0, 1);
        messages.back().push_back(line);
    }
    return messages;
}

// The TOP reply of a message as a server sends it: the header, the empty line and the first `lines` body
// lines, dot-stuffed, then ".".
std::string topReply(const std::vector<std::string>& message, int lines) {
    std::string out = "+OK\r\n";
    bool inBody = false;
    int bodyLines = 0;
    for (const std::string& l : message) {
        if (inBody && bodyLines++ >= lines) break;
        if (!inBody && l.empty()) inBody = true;
        out += (l.rfind(".", 0) == 0 ? "." : "") + l + "\r\n";
    }
    return out + ".\r\n";
}

std::string uidOf(const std::vector<std::string>& message) {
    for (const std::string& l : message)
        if (l.rfind("X-UIDL: ", 0) == 0) return l.substr(8);
    return "?";
}

struct Served {
    RunResult result;
    std::vector<std::string> received;
    std::vector<std::string> errors;
};

enum class Delivery { Burst, Bytewise, Slow };

bool has(const std::vector<std::string>& args, const std::string& arg) {
    return std::find(args.begin(), args.end(), arg) != args.end();
}

std::size_t topCount(const std::vector<std::string>& received) {
    return std::count_if(received.begin(), received.end(),
                         [](const std::string& l) { return l.rfind("TOP ", 0) == 0; });
}

// Serves a mailbox to one run of the program (--range all unless args name a range), with or without
// PIPELINING in the CAPA reply. With --range first the walk may end anywhere: every TOP is then optional,
// and QUIT may follow any of them.
Served serveMailbox(bool pipelining, const std::vector<std::string>& args, int lines,
                    Delivery delivery = Delivery::Burst, std::size_t count = 0,
                    std::vector<std::vector<std::string>> messages = {}) {
    if (messages.empty()) messages = readMbox(std::string(MAILDIG_TEST_DATA) + "/search/mailbox.mbox");
    if (count != 0 && count < messages.size()) messages.resize(count);
    std::vector<std::string> uids;
    for (const auto& m : messages)
        uids.push_back(uidOf(m));
    Pop3Script script;
    script.steps = loginSteps(uids, pipelining);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        script.steps.push_back(expect("TOP " + std::to_string(i + 1) + " " + std::to_string(lines)));
        script.steps.back().optional = has(args, "first");
        script.steps.push_back(send(topReply(messages[i], lines), delivery == Delivery::Bytewise,
                                    delivery == Delivery::Slow ? 30 : 0));
    }
    script.steps.push_back(expect("QUIT"));
    script.steps.push_back(send("+OK bye\r\n"));
    allowTopsAhead(script, messages.size(), lines);
    ScriptedPop3ServerOptions options;
    options.address = "127.0.0.41";
    options.port = 110;
    ScriptedPop3Server server(script, options);
    std::vector<std::string> all{"-l", "127.0.0.41,tester,secret"};
    if (!has(args, "-r")) all.insert(all.end(), {"-r", "all"});
    all.insert(all.end(), args.begin(), args.end());
    Served s;
    s.result = runMaildig(all);
    server.WaitDone(5000);
    s.received = server.Received();
    s.errors = server.Errors();
    return s;
}

class Pipelining : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to listen on port 110 (the plain-text port)";
    }
};

TEST_F(Pipelining, SameOutputWithAndWithoutPipelining) {
    struct Case {
        std::vector<std::string> args;
        int lines;
    } cases[] = {
        {{}, 125},
        {{"--verbose"}, 125},
        {{"crackers", "--verbose"}, 125},
        {{"-t", "alfred", "crackers"}, 125},
        {{"zebra", "--verbose"}, 125},
        {{"deepword", "-m", "100", "--verbose"}, 1250},
        {{"deepword"}, 125},
        {{"-m", "0", "invoice", "--verbose"}, 0},
        {{"nowhere", "--verbose"}, 125},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        Served sequential = serveMailbox(false, c.args, c.lines);
        {
            Served pipelined = serveMailbox(true, c.args, c.lines);
            EXPECT_EQ(pipelined.result.exitCode, sequential.result.exitCode) << shown;
            EXPECT_EQ(pipelined.result.out, sequential.result.out) << shown;
            EXPECT_EQ(pipelined.result.err, sequential.result.err) << shown;
            EXPECT_EQ(pipelined.errors, sequential.errors) << shown;
            EXPECT_EQ(pipelined.received, sequential.received) << shown;
        }
    }
}

TEST_F(Pipelining, RepliesArrivingByteByByte) {
    // Three messages, every reply trickling in one byte at a time.
    Served sequential = serveMailbox(false, {"-m", "0", "--verbose", "lunch"}, 0, Delivery::Bytewise, 3);
    Served pipelined = serveMailbox(true, {"-m", "0", "--verbose", "lunch"}, 0, Delivery::Bytewise, 3);
    EXPECT_EQ(sequential.result.exitCode, 0) << sequential.result.err;
    EXPECT_EQ(sequential.result.out, "msg-lunch\n");
    EXPECT_EQ(pipelined.result.exitCode, sequential.result.exitCode);
    EXPECT_EQ(pipelined.result.out, sequential.result.out);
    EXPECT_EQ(pipelined.result.err, sequential.result.err);
}

TEST_F(Pipelining, SlowServerGivesTheSameAnswer) {
    Served sequential = serveMailbox(false, {"crackers", "--verbose"}, 125);
    Served slow = serveMailbox(true, {"crackers", "--verbose"}, 125, Delivery::Slow);
    EXPECT_EQ(slow.result.exitCode, 0);
    EXPECT_EQ(slow.result.out, sequential.result.out);
    EXPECT_EQ(slow.result.err, sequential.result.err);
}

// What goes out ahead of its reply. With PIPELINING: USER and PASS together (a refused USER still ends the
// login, after the PASS reply), then CAPA, UIDL and the first window of TOP commands together; the server
// answers only once all of a flight arrived, so a client waiting for a reply would stall. A speculative
// reply the listing does not confirm is dropped, never judged. Nothing past STLS before the handshake, and
// nothing ahead without PIPELINING.
TEST_F(Pipelining, WhatIsSentAhead) {
    std::string tops, errs;
    for (std::size_t n = 1; n <= TPOP3Send::kFirstWindow; ++n) {
        tops += "C: TOP " + std::to_string(n) + " 125\n";
        if (n > 2) errs += "S: -ERR no such message\n";
    }
    const std::string capa = "S: +OK\nS: TOP\nS: UIDL\nS: PIPELINING\nS: .\n",
                      hit = "S: +OK\nS: Subject: hit\nS: .\n", miss = "S: +OK\nS: Subject: x\nS: .\n",
                      quit = "C: QUIT\nS: +OK\n",
                      login = "C: CAPA\n" + capa + "C: USER tester\nC: PASS secret\nS: +OK\nS: +OK\n",
                      listing = "S: +OK\nS: 1 a\nS: 2 b\nS: .\n";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string script; // after the greeting
        int code;
        std::string out;
    } cases[] = {
        {"find",
         {"hit"},
         login + "C: CAPA\nC: UIDL\n" + tops + capa + listing + hit + miss + errs + quit,
         0,
         "a\n"},
        {"refused USER",
         {"hit"},
         "C: CAPA\n" + capa + "C: USER tester\nC: PASS secret\nS: -ERR\nS: -ERR\n",
         10,
         ""},
        {"listing out of order",
         {"hit", "-r", "all"},
         login + "C: CAPA\nC: UIDL\n" + tops + capa + "S: +OK\nS: 1 a\nS: 3 c\nS: 2 b\nS: .\n" + miss + hit +
             errs + "C: TOP 3 125\nC: TOP 2 125\n" + miss + hit + quit,
         0,
         "b\n"},
        {"STLS",
         {"hit"},
         "C: CAPA\nS: +OK\nS: STLS\nS: PIPELINING\nS: .\nC: STLS\nS: +OK\n-- stls\n" + login +
             "C: CAPA\nC: UIDL\n" + tops + capa + listing + hit + miss + errs + quit,
         0,
         "a\n"},
        {"no PIPELINING",
         {"hit"},
         "C: CAPA\nS: +OK\nS: TOP\nS: UIDL\nS: .\nC: USER tester\nS: +OK\nC: PASS secret\nS: +OK\nC: "
         "CAPA\nS: "
         "+OK\nS: TOP\nS: UIDL\nS: .\nC: UIDL\n" +
             listing + "C: TOP 1 125\n" + hit + quit,
         0,
         "a\n"},
        {"view",
         {"-v", "b"},
         login + "C: CAPA\nC: UIDL\n" + capa + listing + "C: TOP 2 125\n" + hit + quit,
         0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPop3ServerOptions options;
        options.address = "127.0.0.45";
        options.port = 110;
        ScriptedPop3Server server("S: +OK hi\n" + c.script, options);
        std::vector<std::string> args{"-l", "127.0.0.45,tester,secret"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunOptions run;
        run.timeoutSeconds = 20;
        RunResult r = runMaildig(args, run);
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        if (c.args[0] != "-v") {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_TRUE(server.WaitDone(5000));
        EXPECT_TRUE(server.Ok()) << ::testing::PrintToString(server.Errors());
        EXPECT_TRUE(server.ReceivedAhead().empty()) << ::testing::PrintToString(server.ReceivedAhead());
    }
}

// A server that answers only once several commands have arrived proves that they are in flight together;
// a client waiting for each reply would stall here until its time-out.
TEST_F(Pipelining, CommandsAreInFlightTogether) {
    Pop3Script script;
    script.steps = loginSteps({"a", "b", "c"}, true);
    append(script, {expect("TOP 1 125"), expect("TOP 2 125"), expect("TOP 3 125"),
                    send("+OK\r\nSubject: one\r\n\r\n.\r\n"
                         "-ERR gone\r\n"
                         "+OK\r\nSubject: three\r\n\r\nhit\r\n.\r\n"),
                    expect("QUIT"), send("+OK\r\n")});
    allowTopsAhead(script, 3);
    ScriptedPop3ServerOptions options;
    options.address = "127.0.0.42";
    options.port = 110;
    ScriptedPop3Server server(script, options);
    RunOptions run;
    run.timeoutSeconds = 20;
    RunResult r = runMaildig({"-l", "127.0.0.42,tester,secret", "-r", "all", "--verbose", "hit"}, run);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "c\n"); // the -ERR affects message 2 only
    // The -ERR reply is judged as an empty message: empty fields and an empty text part.
    EXPECT_NE(r.err.find("Processing msg 2 (b): \n  from:       \n  to:         \n  subject:    \n"
                         "Processing msg 3 (c): \n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(server.WaitDone(5000));
    EXPECT_TRUE(server.Ok()) << ::testing::PrintToString(server.Errors());
}

// The connection lost inside the window: the cut-off reply is judged on what arrived, no later message is
// judged, exactly as in the one-by-one walk.
TEST_F(Pipelining, ConnectionCutInsideTheWindow) {
    for (bool pipelining : {false, true}) {
        Pop3Script script;
        script.steps = loginSteps({"a", "b", "c", "d"}, pipelining);
        append(script,
               {expect("TOP 1 125"), send("+OK\r\nSubject: one\r\n\r\nword\r\n.\r\n"), expect("TOP 2 125")});
        Pop3Step cut = send("+OK\r\nSubject: two\r\n\r\nword in two\r\nmore\r\n.\r\n");
        cut.cutAfter = 34; // through "word in two" and its line end
        script.steps.push_back(cut);
        ScriptedPop3ServerOptions options;
        options.address = "127.0.0.43";
        options.port = 110;
        ScriptedPop3Server server(script, options);
        RunResult r = runMaildig({"-l", "127.0.0.43,tester,secret", "-r", "all", "--verbose", "word"});
        EXPECT_EQ(r.exitCode, 23) << r.err;
        EXPECT_EQ(r.out, "a\nb\n") << (pipelining ? "pipelined" : "sequential");
        EXPECT_EQ(r.err.find("Processing msg 3 (c)"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\nConnection to the POP server was lost: 2 of 4 messages were not searched.\n"),
                  std::string::npos);
    }
}

// --range first: the match in the first message, in the middle, in the last, or nowhere. The output is that
// of the one-by-one walk; the TOP commands sent beyond the match never outnumber the larger of the first
// window and the messages judged before it, nor the window's cap; the replies still in flight are read
// before QUIT, which gets its own reply.
TEST_F(Pipelining, RangeFirstSameOutputAndFewCommandsBeyondTheMatch) {
    // A mailbox longer than the window, for a match deep inside it.
    std::vector<std::vector<std::string>> long_;
    const int cap = static_cast<int>(TPOP3Send::kPipelineMaxCommands);
    for (int i = 1; i <= 2 * cap + 100; ++i)
        long_.push_back({"X-UIDL: u" + std::to_string(i), "Subject: word" + std::to_string(i) + "x", "",
                         "body " + std::to_string(i)});
    struct Case {
        std::vector<std::string> args;
        Delivery delivery;
        std::vector<std::vector<std::string>> messages; // empty: the test mailbox
    } cases[] = {
        {{}, Delivery::Burst, {}},                         // the first message
        {{"--verbose"}, Delivery::Burst, {}},              //
        {{"zebra"}, Delivery::Burst, {}},                  // message 4 of 14
        {{"zebra", "--verbose"}, Delivery::Burst, {}},     //
        {{"crackers", "--verbose"}, Delivery::Slow, {}},   // message 2, replies arriving slowly
        {{"mixedCASE"}, Delivery::Burst, {}},              // the last message
        {{"mixedCASE", "--verbose"}, Delivery::Burst, {}}, //
        {{"nowhere"}, Delivery::Burst, {}},                // no message
        {{"nowhere", "--verbose"}, Delivery::Burst, {}},   //
        {{"word" + std::to_string(cap + 140) + "x"},
         Delivery::Burst,
         long_}, // deep: the cap bounds the window
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-r", "first"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string shown = ::testing::PrintToString(args);
        Served sequential = serveMailbox(false, args, 125, c.delivery, 0, c.messages);
        Served pipelined = serveMailbox(true, args, 125, c.delivery, 0, c.messages);
        EXPECT_EQ(pipelined.result.exitCode, sequential.result.exitCode) << shown;
        EXPECT_EQ(pipelined.result.out, sequential.result.out) << shown;
        EXPECT_EQ(pipelined.result.err, sequential.result.err) << shown;
        // A run without a match ends through quit, without QUIT, as the server notes.
        EXPECT_EQ(pipelined.errors, sequential.errors) << shown;
        EXPECT_EQ(sequential.errors.empty(), sequential.result.exitCode == 0) << shown;
        ASSERT_FALSE(pipelined.received.empty());
        EXPECT_EQ(pipelined.received.back() == "QUIT", sequential.result.exitCode == 0) << shown;
        const std::size_t judged = topCount(sequential.received); // the match is the last of them
        const std::size_t beyond = topCount(pipelined.received) - judged;
        EXPECT_LE(beyond, std::max(TPOP3Send::kFirstWindow - 1, judged - 1)) << shown;
        EXPECT_LT(beyond, TPOP3Send::kPipelineMaxCommands) << shown;
    }
}

// A match in the first message: no TOP is sent after it, only the first window went out with the listing.
TEST_F(Pipelining, RangeFirstSendsNoTopAfterTheMatch) {
    Pop3Script script;
    script.steps = loginSteps({"a", "b", "c"}, true);
    append(script, {expect("TOP 1 125"), send("+OK\r\nSubject: match\r\n\r\n.\r\n"), expect("QUIT"),
                    send("+OK\r\n")});
    allowTopsAhead(script, 1);
    ScriptedPop3ServerOptions options;
    options.address = "127.0.0.44";
    options.port = 110;
    ScriptedPop3Server server(script, options);
    RunResult r = runMaildig({"-l", "127.0.0.44,tester,secret", "match"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "a\n");
    EXPECT_TRUE(server.WaitDone(5000));
    EXPECT_TRUE(server.Ok()) << ::testing::PrintToString(server.Errors());
    EXPECT_EQ(topCount(server.Received()), TPOP3Send::kFirstWindow);
}

} // namespace

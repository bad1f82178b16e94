// The scripted POP3 server the protocol tests rely on: transcripts, pipelined commands, unexpected lines.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "net/blocksock.h"
#include "net/ssl_openssl.h"
#include "pop3/pop3_send.h"
#include "support/scripted_pop3_server.h"
using namespace maildig;

namespace {

TEST(ScriptedPop3Server, PlaysATranscriptFile) {
    ASSERT_TRUE(LoadTlsLibrary());
    ScriptedPop3Server server(Pop3Script::Load(std::string(MAILDIG_TEST_DATA) + "/pop3/stls_session.txt"));
    {
        TPOP3Send pop;
        pop.TargetHost = server.Address();
        pop.TargetPort = server.PortText();
        pop.UserName = "joe";
        pop.Password = "pw";
        pop.AutoTLS = true;
        ASSERT_TRUE(pop.OpenSession());
        ASSERT_TRUE(pop.ListUids(0).Ok());
        EXPECT_EQ(pop.FetchTop(2, 125).FullResult, (Lines{"Subject: second", "", ".body"}));
        EXPECT_TRUE(pop.CloseSession().Ok());
    }
    EXPECT_TRUE(server.WaitDone());
    EXPECT_TRUE(server.Ok());
    EXPECT_EQ(server.Received(), (std::vector<std::string>{"CAPA", "STLS", "CAPA", "USER joe", "PASS pw",
                                                           "UIDL", "TOP 2 125", "QUIT"}));
}

TEST(ScriptedPop3Server, AnswersPipelinedCommandsInOrder) {
    ScriptedPop3Server server("S: +OK hi\nC: CAPA\nS: +OK\nS: TOP\nS: .\nC: UIDL\nS: +OK\nS: 1 a\nS: .\n");
    TTCPBlockSocket sock;
    sock.ConnectTo(server.Address(), server.PortText());
    sock.SendText("CAPA\r\nUIDL\r\n");
    std::string all;
    for (int i = 0; i < 7; ++i)
        all += sock.ReceiveLine(5000) + "|";
    EXPECT_EQ(all, "+OK hi|+OK|TOP|.|+OK|1 a|.|");
    sock.CloseConnection();
    EXPECT_TRUE(server.WaitDone());
    EXPECT_TRUE(server.Ok());
}

TEST(ScriptedPop3Server, ReportsUnexpectedAndExtraLines) {
    struct Case {
        std::string sent;
        std::vector<std::string> received;
    } cases[] = {
        {"NOOP\r\n", {"NOOP"}},                 // not the expected command
        {"CAPA\r\nQUIT\r\n", {"CAPA", "QUIT"}}, // one more line than the script has
    };
    for (const Case& c : cases) {
        ScriptedPop3Server server("S: +OK hi\nC: CAPA\nS: -ERR\n");
        TTCPBlockSocket sock;
        sock.ConnectTo(server.Address(), server.PortText());
        sock.SendText(c.sent);
        sock.ReceiveLine(5000);
        EXPECT_TRUE(server.WaitDone());
        sock.CloseConnection();
        EXPECT_FALSE(server.Ok());
        EXPECT_EQ(server.Received(), c.received);
    }
}

// A client that connects and never reads a large reply: the server still stops when it is destroyed.
TEST(ScriptedPop3Server, StopsWhileTheClientReadsNothing) {
    TTCPBlockSocket sock;
    {
        ScriptedPop3Server server("S: +OK hi\nR: " + std::string(8 << 20, 'x') + "\n");
        sock.ConnectTo(server.Address(), server.PortText());
        ASSERT_EQ(sock.LastErrorCode, 0);
        EXPECT_FALSE(server.WaitDone(200));
    }
    sock.CloseConnection();
}

TEST(ScriptedPop3Server, RejectsBadTranscripts) {
    for (const char* bad : {"X: what", "-- cut", "-- dance", "R: \\q"})
        EXPECT_THROW(Pop3Script::Parse(bad), std::invalid_argument) << bad;
}

} // namespace

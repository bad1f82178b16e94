#include "pop3/pop3_send.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>

#include "net/ssl_openssl.h"
#include "support/scripted_pop3_server.h"
#include "support/tls_test_server.h"
using namespace maildig;

namespace {

// The APOP digest computed here independently of the client: lower-case hex MD5 of stamp + password.
std::string ApopDigest(const std::string& stamp, const std::string& password) {
    std::string data = stamp + password;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

bool Contains(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.starts_with(prefix); });
}

class Pop3Client : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(LoadTlsLibrary()) << "OpenSSL could not be loaded"; }

    // A client aimed at the server, with a short time-out so that a missing reply does not stall the suite.
    static void Aim(TPOP3Send& pop, const ScriptedPop3Server& server, int timeoutMs = 5000) {
        pop.TargetHost = server.Address();
        pop.TargetPort = server.PortText();
        pop.UserName = "joe";
        pop.Password = "pw";
        pop.Timeout = timeoutMs;
    }
    // Connects and reads the greeting, for tests of single commands.
    static void Connect(TPOP3Send& pop, const ScriptedPop3Server& server) {
        Aim(pop, server);
        ASSERT_TRUE(pop.OpenConnection()) << pop.Sock().LastErrorText;
        ASSERT_TRUE(pop.ReadReply(false).Ok());
    }
    static void ExpectServerDone(ScriptedPop3Server& server) {
        EXPECT_TRUE(server.WaitDone());
        EXPECT_TRUE(server.ScriptFinished());
        for (const std::string& e : server.Errors())
            ADD_FAILURE() << "server: " << e;
    }
};

TEST(PipelineWindow, BoundedByCountAndBytes) {
    EXPECT_EQ(TPOP3Send::PipelineWindow(3000), TPOP3Send::kPipelineMaxCommands);
    EXPECT_EQ(TPOP3Send::PipelineWindow(0), TPOP3Send::kPipelineMaxCommands);
    EXPECT_EQ(TPOP3Send::PipelineWindow(-12), TPOP3Send::kPipelineMaxCommands);
    EXPECT_EQ(TPOP3Send::PipelineWindow(TPOP3Send::EstimatedReplyBytes(12500)), 8u);      // 1 MB heads
    EXPECT_EQ(TPOP3Send::PipelineWindow(TPOP3Send::EstimatedReplyBytes(2147483647)), 1u); // never below one
    EXPECT_EQ(TPOP3Send::PipelineWindow(TPOP3Send::EstimatedReplyBytes(125)), 461u);
}

TEST_F(Pop3Client, ConstructorDefaults) {
    TPOP3Send pop;
    EXPECT_EQ(pop.TargetHost, "127.0.0.1");
    EXPECT_EQ(pop.TargetPort, "110");
    EXPECT_EQ(pop.IPInterface, "0.0.0.0");
    EXPECT_EQ(pop.Timeout, 60000);
    EXPECT_EQ(pop.AuthType, POP3AuthAll);
    EXPECT_FALSE(pop.AutoTLS);
    EXPECT_FALSE(pop.FullSSL);
    EXPECT_TRUE(pop.Sock().ConvertLineEnd);
    EXPECT_EQ(pop.Sock().MaxLineLength, 64 * 1024 * 1024);
}

// Greeting -> TimeStamp; with a time stamp the client logs in with APOP, otherwise with USER/PASS.
TEST_F(Pop3Client, GreetingTimeStampDecidesTheLogin) {
    struct Case {
        std::string greeting;
        std::string stamp;
    } cases[] = {
        {"+OK ready <12345.678>", "<12345.678>"},
        {"+OK ready", ""},
        {"+OK <>", "<>"},
        {"+OK hello <abc", ""},
        {"+OK hello <abc ", "<abc>"},
        {"+OK hi < 1.2@host > there", "<1.2@host>"},
        {"+OK <a><b>", "<a>"},
        {"+OK <\t>", "<>"},
        {"+OK <", ""}, // nothing after "<": what is left is already trimmed, so there is no time stamp
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.greeting);
        std::string login = c.stamp.empty() ? "C: USER joe\nS: +OK\nC: PASS pw\nS: +OK in\n"
                                            : "C: APOP joe " + ApopDigest(c.stamp, "pw") + "\nS: +OK in\n";
        ScriptedPop3Server server("S: " + c.greeting + "\nC: CAPA\nS: -ERR no\n" + login);
        {
            TPOP3Send pop;
            Aim(pop, server);
            EXPECT_TRUE(pop.OpenSession());
            EXPECT_EQ(pop.TimeStamp(), c.stamp);
        }
        ExpectServerDone(server);
    }
}

// Reply bytes to "TOP 1 10" -> verdict, status line and body lines, as the socket delivers them (line ends,
// pieces, cuts); what the lines mean is in reply_parser_test.cpp.
TEST_F(Pop3Client, MultiLineReplies) {
    struct Case {
        const char* name;
        std::string reply; // transcript directives for the reply
        int code;
        std::string status;
        Lines body;
    } cases[] = {
        {"mixed line ends", "R: +OK\\nA: 1\\rB: 2\\n\\rC: 3\\r\\n.\\n", 1, "+OK", {"A: 1", "B: 2", "C: 3"}},
        {"one byte at a time",
         "-- bytewise\nS: +OK\nS: Subject: x\nS: ..dot\nS: .",
         1,
         "+OK",
         {"Subject: x", ".dot"}},
        {"error reply", "S: -ERR no such message", 0, "-ERR no such message", {}},
        {"cut inside the body", "-- cut 16\nS: +OK\nS: line1\nS: line2\nS: .", 0, "+OK", {"line1", ""}},
        {"cut inside the status line", "-- cut 3\nS: +OK\nS: .", 0, "", {}},
        {"closed after the status line", "-- cut 5\nS: +OK\nS: .", 0, "+OK", {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPop3Server server("S: +OK hi\nC: TOP 1 10\n" + c.reply + "\n");
        {
            TPOP3Send pop;
            Connect(pop, server);
            const TPOP3Reply reply = pop.FetchTop(1, 10);
            EXPECT_EQ(reply.ResultCode, c.code);
            EXPECT_EQ(reply.ResultString, c.status);
            EXPECT_EQ(reply.FullResult, c.body);
        }
        ExpectServerDone(server);
    }
}

// Single-line replies put the status text after the first blank (or the whole line) into FullResult.
TEST_F(Pop3Client, SingleLineReplies) {
    struct Case {
        std::string command;
        std::string reply;
        bool ok;
        Lines full;
    } cases[] = {
        {"UIDL 3", "+OK 3 abc", true, {"3 abc"}},
        {"DELE 1", "+OK", true, {"+OK"}},
        {"DELE 7", "-ERR no such message", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        ScriptedPop3Server server("S: +OK hi\nC: " + c.command + "\nS: " + c.reply + "\n");
        {
            TPOP3Send pop;
            Connect(pop, server);
            const int32_t n = std::stoi(c.command.substr(5));
            const TPOP3Reply reply = c.command.starts_with("UIDL") ? pop.ListUids(n) : pop.DeleteMessage(n);
            EXPECT_EQ(reply.Ok(), c.ok);
            EXPECT_EQ(reply.ResultString, c.reply);
            EXPECT_EQ(reply.FullResult, c.full);
        }
        ExpectServerDone(server);
    }
}

TEST_F(Pop3Client, UidlListingAndCapabilities) {
    ScriptedPop3Server server("S: +OK hi\n"
                              "C: CAPA\nS: +OK\nS: USER\nS: STLSX\nS: sasl PLAIN\nS: .\n"
                              "C: UIDL\nS: +OK\nS: 1 a\nS: 2 b\nS: .\n");
    {
        TPOP3Send pop;
        Connect(pop, server);
        ASSERT_TRUE(pop.QueryCapabilities());
        EXPECT_EQ(pop.CapabilityList(), (Lines{"USER", "STLSX", "sasl PLAIN"}));
        const struct {
            const char* keyword;
            const char* line;
        } lookups[] = {
            {"stls", "STLSX"}, // a prefix match, the line in its own case
            {"SASL", "sasl PLAIN"}, {"sasl p", "sasl PLAIN"},
            {"UIDL", ""},           {"TOP", ""},
            {"USERX", ""},          {"", ""}, // an empty keyword matches no line
        };
        for (const auto& l : lookups)
            EXPECT_EQ(pop.FindCapability(l.keyword), l.line) << '"' << l.keyword << '"';
        EXPECT_EQ(pop.ListUids(0).FullResult, (Lines{"1 a", "2 b"}));
        EXPECT_EQ(pop.CapabilityList().size(), 3u); // only CAPA replaces it
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, RefusedCapaIsNoErrorForTheSession) {
    ScriptedPop3Server server("S: +OK hi\nC: CAPA\nS: -ERR unknown command\nC: USER joe\nS: +OK\nC: PASS pw\n"
                              "S: +OK logged in\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        pop.AutoTLS = true;
        EXPECT_TRUE(pop.OpenSession());
        EXPECT_TRUE(pop.CapabilityList().empty());
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, WrongPasswordFailsTheSession) {
    ScriptedPop3Server server("S: +OK hi\nC: CAPA\nS: +OK\nS: USER\nS: .\nC: USER joe\nS: +OK\nC: PASS pw\n"
                              "S: -ERR [AUTH] Authentication failed.\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        EXPECT_FALSE(pop.OpenSession());
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, RefusedUserSendsNoPassword) {
    ScriptedPop3Server server("S: +OK hi\nC: CAPA\nS: -ERR\nC: USER joe\nS: -ERR who?\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        EXPECT_FALSE(pop.OpenSession());
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, RefusedStlsEndsTheSessionBeforeAnyLogin) {
    ScriptedPop3Server server(
        "S: +OK hi\nC: CAPA\nS: +OK\nS: STLS\nS: USER\nS: .\nC: STLS\nS: -ERR not now\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        pop.AutoTLS = true;
        EXPECT_FALSE(pop.OpenSession());
    }
    ExpectServerDone(server); // an extra USER line would be reported by the server
}

TEST_F(Pop3Client, StlsNotUsedWithoutAutoTls) {
    ScriptedPop3Server server(
        "S: +OK hi\nC: CAPA\nS: +OK\nS: STLS\nS: .\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        EXPECT_TRUE(pop.OpenSession());
        EXPECT_FALSE(pop.Sock().Tls().TlsEnabled());
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, StlsUpgradeThenCapaAgainThenLogin) {
    ScriptedPop3Server server(
        "S: +OK hi\nC: CAPA\nS: +OK\nS: STLS\nS: .\nC: STLS\nS: +OK go ahead\n-- stls\n"
        "C: CAPA\nS: +OK\nS: USER\nS: UIDL\nS: .\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n"
        "C: QUIT\nS: +OK bye\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        pop.AutoTLS = true;
        ASSERT_TRUE(pop.OpenSession()) << pop.Sock().LastErrorText;
        EXPECT_TRUE(pop.Sock().Tls().TlsEnabled());
        EXPECT_EQ(pop.CapabilityList(), (Lines{"USER", "UIDL"}));
        EXPECT_TRUE(pop.CloseSession().Ok());
        EXPECT_EQ(pop.DeleteMessage(1).ResultCode, 0); // the session is closed
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, ImplicitTlsBeforeTheGreeting) {
    ScriptedPop3Server server(
        "-- stls\nS: +OK secure\nC: CAPA\nS: -ERR\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        pop.FullSSL = true;
        pop.AutoTLS = true; // no STLS capability offered, so none is sent
        ASSERT_TRUE(pop.OpenSession()) << pop.Sock().LastErrorText;
        EXPECT_TRUE(pop.Sock().Tls().TlsEnabled());
    }
    ExpectServerDone(server);
}

TEST_F(Pop3Client, RefusedApopReconnectsForUserPass) {
    std::string digest = ApopDigest("<1.2@h>", "pw");
    ScriptedPop3Server server("S: +OK hi <1.2@h>\nC: CAPA\nS: +OK\nS: TOP\nS: .\nC: APOP joe " + digest +
                              "\nS: -ERR [AUTH] no\n-- accept\nS: +OK again <3.4@h>\nC: USER joe\nS: +OK\n"
                              "C: PASS pw\nS: +OK in\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        EXPECT_TRUE(pop.OpenSession());
        EXPECT_EQ(pop.TimeStamp(), "<1.2@h>"); // kept from the first greeting
        EXPECT_EQ(pop.CapabilityList(), Lines{"TOP"});
    }
    ExpectServerDone(server);
    EXPECT_EQ(server.Connections(), 2);
}

// After STLS on the first connection, the reconnect for USER/PASS upgrades before any login command; after
// TLS from the first byte, the reconnect starts with TLS too (the server's handshake fails on plain text).
TEST_F(Pop3Client, RefusedApopReconnectKeepsTls) {
    std::string stls = "S: +OK hi <1.2@h>\nC: CAPA\nS: +OK\nS: STLS\nS: .\nC: STLS\nS: +OK\n-- stls\n"
                       "C: CAPA\nS: +OK\nS: .\nC: APOP joe *\nS: -ERR no\n-- accept\nS: +OK again\nC: STLS\n";
    std::string implicit =
        "-- stls\nS: +OK hi <1.2@h>\nC: CAPA\nS: -ERR\nC: APOP joe *\nS: -ERR no\n-- accept\n";
    struct Case {
        const char* name;
        bool fullSsl;
        std::string script;
        bool ok;
    } cases[] = {
        {"upgraded again", false, stls + "S: +OK\n-- stls\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n", true},
        {"upgrade refused: no login", false, stls + "S: -ERR no TLS today\n", false},
        {"implicit TLS again", true,
         implicit + "-- stls\nS: +OK again\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPop3Server server(c.script);
        {
            TPOP3Send pop;
            Aim(pop, server);
            pop.AutoTLS = !c.fullSsl; // as the mailbox session chooses them
            pop.FullSSL = c.fullSsl;
            EXPECT_EQ(pop.OpenSession(), c.ok);
            EXPECT_EQ(pop.Sock().Tls().TlsEnabled(), c.ok);
        }
        ExpectServerDone(server);
        EXPECT_FALSE(Contains(server.Received(), "USER") && !c.ok);
    }
}

// Without OpenSSL there is no MD5: the APOP attempt fails unsent and the refused-APOP path reconnects.
TEST_F(Pop3Client, WithoutOpenSslApopFallsBackToUserPass) {
    UnloadTlsLibrary();
    ScriptedPop3Server server(
        "S: +OK hi <1@h>\nC: CAPA\nS: -ERR\n-- accept\nS: +OK again\nC: USER joe\nS: +OK\n"
        "C: PASS pw\nS: +OK\n");
    {
        TPOP3Send pop;
        Aim(pop, server);
        EXPECT_TRUE(pop.OpenSession());
    }
    ExpectServerDone(server);
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_TRUE(LoadTlsLibrary());
}

TEST_F(Pop3Client, AuthTypeLimitsTheLoginMethods) {
    std::string digest = ApopDigest("<9@h>", "pw");
    struct Case {
        const char* name;
        TPOP3AuthType type;
        std::string script;
        bool ok;
        int connections;
    } cases[] = {
        {"APOP only, no time stamp: nothing sent", POP3AuthAPOP, "S: +OK hi\nC: CAPA\nS: -ERR\n", false, 1},
        {"APOP only, refused: reconnect, no USER", POP3AuthAPOP,
         "S: +OK hi <9@h>\nC: CAPA\nS: -ERR\nC: APOP joe " + digest + "\nS: -ERR\n-- accept\nS: +OK again\n",
         false, 2},
        {"APOP only, accepted", POP3AuthAPOP,
         "S: +OK hi <9@h>\nC: CAPA\nS: -ERR\nC: APOP joe " + digest + "\nS: +OK\n", true, 1},
        {"USER/PASS only despite a time stamp", POP3AuthLogin,
         "S: +OK hi <9@h>\nC: CAPA\nS: -ERR\nC: USER joe\nS: +OK\nC: PASS pw\nS: +OK\n", true, 1},
        {"refused APOP, reconnect refused", POP3AuthAll,
         "S: +OK hi <9@h>\nC: CAPA\nS: -ERR\nC: APOP joe " + digest + "\nS: -ERR\n-- accept\nS: -ERR busy\n",
         false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPop3Server server(c.script);
        {
            TPOP3Send pop;
            Aim(pop, server);
            pop.AuthType = c.type;
            EXPECT_EQ(pop.OpenSession(), c.ok);
        }
        ExpectServerDone(server);
        EXPECT_EQ(server.Connections(), c.connections);
    }
}

// SASL: the mechanism the capabilities choose, the initial response inline only within 255 octets (a token of
// 157 bytes makes 255 with CR LF, 158 make 259), a refused token's challenge answered, any other cancelled.
TEST_F(Pop3Client, SaslLoginChoosesAndSpeaksTheMechanism) {
    const std::string json = "\nS: + eyJzdGF0dXMiOiI0MDEifQ==\n", t157(157, 't'), t158(158, 't');
    const struct {
        TPOP3AuthType type;
        std::string token, sasl, exchange; // the SASL capability, then the lines of the login
    } cases[] = {
        {POP3AuthLogin, "pw", "USER\nS: SASL PLAIN", "C: USER joe\nS: +OK\nC: PASS pw\nS: +OK"},
        {POP3AuthLogin, "pw", "SASL PLAIN", "C: AUTH PLAIN AGpvZQBwdw==\nS: +OK"},
        {POP3AuthOAuth, "t", "SASL PLAIN XOAUTH2 oauthbearer", "C: AUTH OAUTHBEARER *\nS: +OK"},
        {POP3AuthOAuth, "t", "SASL XOAUTH2",
         "C: AUTH XOAUTH2 dXNlcj1qb2UBYXV0aD1CZWFyZXIgdAEB" + json + "C:\nS: -ERR"},
        {POP3AuthOAuth, "t", "SASL OAUTHBEARER", "C: AUTH OAUTHBEARER *" + json + "C: AQ==\nS: -ERR"},
        {POP3AuthOAuth, "t", "SASL PLAIN", ""},
        {POP3AuthOAuth, t157, "SASL XOAUTH2", "C: AUTH XOAUTH2 dXNl*\nS: +OK"},
        {POP3AuthOAuth, t158, "SASL XOAUTH2", "C: AUTH XOAUTH2\nS: +\nC: dXNl*\nS: +OK"},
        {POP3AuthOAuth, t158, "SASL XOAUTH2", "C: AUTH XOAUTH2\nS: + e30=\nC: *\nS: -ERR"},
        {POP3AuthOAuth, "t", "SASL XOAUTH2", "C: AUTH XOAUTH2 *\nS: + not*base64\nC: *\nS: -ERR"},
        {POP3AuthOAuth, "t", "SASL XOAUTH2", "C: AUTH XOAUTH2 *" + json + "C:" + json + "C: *\nS: -ERR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sasl + " | " + c.exchange);
        ScriptedPop3Server server("S: +OK hi <1@h>\nC: CAPA\nS: +OK\nS: " + c.sasl + "\nS: .\n" + c.exchange +
                                  "\n");
        {
            TPOP3Send pop;
            Aim(pop, server);
            pop.AuthType = c.type, pop.Password = c.token;
            EXPECT_EQ(pop.OpenSession(), c.exchange.ends_with("+OK"));
        }
        ExpectServerDone(server);
    }
}

TEST(Sasl, OAuthBearerMessageAsInRfc7628) {
    EXPECT_EQ(SaslInitialResponse(SM_OAuthBearer, "user@example.com",
                                  "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==", "server.example.com", "143"),
              "n,a=user@example.com,\1host=server.example.com\1port=143\1auth=Bearer "
              "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\1\1");
}

// The pipelined TOP walk: replies handed over strictly in order, each read as FetchTop reads it; after an
// early stop the replies still in flight are read and dropped, so that QUIT gets its own reply. The server
// takes every command of a window before it answers, so they were in flight together.
TEST_F(Pop3Client, PipelinedTopWalkInOrderAndDrainedAfterAStop) {
    const std::string four = "C: TOP 1 10\nC: TOP 2 10\nC: TOP 3 10\nC: TOP 4 10\n";
    const std::string one = "S: +OK\nS: one\nS: .\n", two = "S: +OK\nS: two\nS: .\n";
    const std::string rest = "S: +OK\nS: three\nS: .\nS: +OK\nS: four\nS: .\n";
    const std::string quit = "C: QUIT\nS: +OK bye\n";
    const TPOP3Send::TTopWindow fixed{4, false}, growing{64, true};
    struct Case {
        const char* name;
        TPOP3Send::TTopWindow window;
        int messages;
        std::string script; // after the greeting
        size_t stopAt;      // handle returns false there
        Lines seen;         // status line and body of each reply handled
        std::string quitReply;
    } cases[] = {
        {"every reply in order",
         fixed,
         4,
         four + one + "S: -ERR two gone\nR: +OK\\r\\n..x\\r\\n.\\r\\n\n" + "S: +OK\nS: four\nS: .\n" + quit,
         99,
         {"+OK|one", "-ERR two gone|", "+OK|.x", "+OK|four"},
         "+OK bye"},
        {"stopped: the rest drained", fixed, 4, four + one + two + rest + quit, 0, {"+OK|one"}, "+OK bye"},
        {"stopped, slow replies drained",
         fixed,
         4,
         four + one + "-- delay 300\n" + two + "-- delay 300\n" + rest + quit,
         0,
         {"+OK|one"},
         "+OK bye"},
        {"stopped, an -ERR inside the window",
         fixed,
         4,
         four + one + "S: -ERR gone\n" + rest + quit,
         0,
         {"+OK|one"},
         "+OK bye"},
        {"stopped, the connection cut inside the window: no QUIT",
         fixed,
         4,
         four + one + "-- cut 8\n" + two,
         0,
         {"+OK|one"},
         ""},
        {"stopped, silence inside the window: no QUIT",
         fixed,
         4,
         four + one + "-- silent\n",
         0,
         {"+OK|one"},
         ""},
        {"growing: a stop at the first reply sent nothing more",
         growing,
         4,
         "C: TOP 1 10\n" + one + quit,
         0,
         {"+OK|one"},
         "+OK bye"},
        {"growing: one more in flight per reply handled",
         growing,
         8,
         "C: TOP 1 10\n" + one + "C: TOP 2 10\nC: TOP 3 10\n" + two + two + "C: TOP 4 10\nC: TOP 5 10\n" +
             one + one + quit,
         2,
         {"+OK|one", "+OK|two", "+OK|two"},
         "+OK bye"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPop3Server server("S: +OK hi\n" + c.script);
        {
            TPOP3Send pop;
            Connect(pop, server);
            pop.Timeout = 1000;
            std::vector<int32_t> numbers;
            for (int n = 1; n <= c.messages; ++n)
                numbers.push_back(n);
            Lines seen;
            const bool whole = pop.FetchTopPipelined(numbers, 10, c.window, [&](size_t i, TPOP3Reply& reply) {
                std::string entry = reply.ResultString + "|";
                for (const std::string& l : reply.FullResult)
                    entry += l;
                seen.push_back(entry);
                return i != c.stopAt;
            });
            EXPECT_EQ(whole, c.stopAt >= numbers.size());
            EXPECT_EQ(seen, c.seen);
            EXPECT_EQ(pop.CloseSession().ResultString, c.quitReply);
        }
        ExpectServerDone(server);
        EXPECT_EQ(Contains(server.Received(), "QUIT"), !c.quitReply.empty());
    }
}

TEST_F(Pop3Client, SilentServerTimesOut) {
    ScriptedPop3Server server("-- silent\n");
    TPOP3Send pop;
    Aim(pop, server, 300);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pop.OpenSession());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(pop.Sock().LastErrorCode, 10060);
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 5000);
}

// A reply trickling in one byte at a time never lets the per-wait time-out fire; the transfer bound ends it
// (windows scaled down from 60 s to 200 ms: 500 bytes/s against at least 1024 bytes per window).
TEST_F(Pop3Client, TricklingReplyIsAbandonedAfterTheBound) {
    ScriptedPop3Server server("S: +OK hi\nC: TOP 1 10\n-- bytewise\nS: +OK\nS: " + std::string(3000, 'x') +
                              "\nS: .\n");
    TPOP3Send pop;
    Connect(pop, server);
    pop.Sock().TrickleWindowMs = 200;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pop.FetchTop(1, 10).Ok());
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(pop.Sock().LastErrorCode, 10060);
    EXPECT_GE(ms, 400);  // the first window is never judged
    EXPECT_LT(ms, 2000); // the whole reply would take 6 s
}

// A body cut off by a time-out: its late rest (and a stale "+OK") must not be read as the next reply.
TEST_F(Pop3Client, LateRestOfACutReplyIsNotTakenForTheNextOne) {
    ScriptedPop3Server server("S: +OK hi\nC: TOP 1 10\nS: +OK\nS: Subject: a\n-- delay 800\nS: rest\nS: .\n"
                              "S: +OK stale\n-- silent\n");
    TPOP3Send pop;
    Connect(pop, server);
    pop.Timeout = 200;
    const TPOP3Reply cut = pop.FetchTop(1, 10);
    EXPECT_EQ(cut.ResultCode, 0);
    EXPECT_EQ(pop.Sock().LastErrorCode, 10060);
    EXPECT_EQ(cut.FullResult, (Lines{"Subject: a", ""}));
    pop.Timeout = 2000;
    const TPOP3Reply dele = pop.DeleteMessage(1);
    EXPECT_EQ(dele.ResultCode, 0);
    EXPECT_EQ(dele.ResultString, "");
    EXPECT_FALSE(Contains(server.Received(), "DELE"));
}

TEST_F(Pop3Client, OverlongLineEndsTheReplyWith10055) {
    ScriptedPop3Server server("S: +OK hi\nC: TOP 1 10\nS: +OK\nS: " + std::string(5000, 'x') + "\nS: .\n");
    TPOP3Send pop;
    Connect(pop, server);
    pop.Sock().MaxLineLength = 1000;
    const TPOP3Reply reply = pop.FetchTop(1, 10);
    EXPECT_EQ(pop.Sock().LastErrorCode, 10055);
    EXPECT_EQ(reply.ResultCode, 0);
    EXPECT_EQ(reply.FullResult, Lines{""});
}

// The lines that fit are kept, the rest is read and dropped: DELE gets its own reply.
TEST_F(Pop3Client, OversizedReplyIsClippedAndTheExchangeStaysInStep) {
    std::string body;
    for (int i = 0; i < 2000; ++i)
        body += "S: line " + std::to_string(i) + "\n";
    ScriptedPop3Server server("S: +OK hi\nC: TOP 1 10\nS: +OK\n" + body + "S: .\nC: DELE 1\nS: +OK own\n");
    TPOP3Send pop;
    Connect(pop, server);
    pop.MaxReplyBytes = 10000;
    const TPOP3Reply top = pop.FetchTop(1, 10);
    EXPECT_TRUE(top.Ok() && top.ResultClipped);
    ASSERT_FALSE(top.FullResult.empty());
    EXPECT_LT(top.FullResult.size(), 2000u);
    EXPECT_EQ(top.FullResult.back(), "line " + std::to_string(top.FullResult.size() - 1));
    EXPECT_EQ(pop.DeleteMessage(1).ResultString, "+OK own");
}

TEST_F(Pop3Client, ConnectionFailures) {
    TPOP3Send pop;
    pop.TargetPort = std::to_string(UnusedLoopbackPort());
    EXPECT_FALSE(pop.OpenSession());
    EXPECT_EQ(pop.Sock().LastErrorCode, 10061);
    EXPECT_EQ(pop.DeleteMessage(1).ResultCode, 0); // never connected
    EXPECT_FALSE(pop.CloseSession().Ok());
}

TEST_F(Pop3Client, TlsAgainstAPlainServerFails) {
    // The plain greeting comes once the client's handshake is under way (plain bytes that arrived before it
    // are discarded by the socket).
    ScriptedPop3Server server("-- delay 200\nS: +OK plain text\n-- silent\n");
    TPOP3Send pop;
    Aim(pop, server, 2000);
    pop.Sock().Tls().HandshakeTimeout = 5000;
    pop.FullSSL = true;
    EXPECT_FALSE(pop.OpenSession());
    EXPECT_NE(pop.Sock().LastErrorCode, 0);
}

} // namespace

// The POP3 client against a real Dovecot: private instances on loopback started by the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "net/ssl_openssl.h"
#include "pop3/pop3_send.h"
#include "support/dovecot_fixture.h"
using namespace maildig;

namespace {

constexpr const char* kAddress = "127.0.0.21";       // TLS on 995, STLS and APOP on 110
constexpr const char* kDeleteAddress = "127.0.0.22"; // plain text on 110 only; its mailbox gets changed

Lines Messages(const Lines& uidl) {
    Lines numbers;
    for (const std::string& line : uidl)
        numbers.push_back(line.substr(0, line.find(' ')));
    return numbers;
}

void PrintLines(const std::string& title, const Lines& lines) {
    std::cout << title << ":\n";
    for (const std::string& l : lines)
        std::cout << "    " << l << "\n";
}

class Dovecot : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        LoadTlsLibrary();
        if (!DovecotInstance::Unavailable().empty()) return;
        DovecotOptions o;
        o.address = kAddress;
        o.apop = true;
        o.mbox = "pop3/three.mbox";
        server_ = std::make_unique<DovecotInstance>(o);
        server_->Start();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        std::string why = DovecotInstance::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(IsTlsLibraryLoaded());
        ASSERT_TRUE(server_ && server_->Running()) << (server_ ? server_->Error() : "");
    }

    static void Aim(TPOP3Send& pop, const char* address, const char* port,
                    const std::string& password = "secret") {
        pop.TargetHost = address;
        pop.TargetPort = port;
        pop.UserName = "tester";
        pop.Password = password;
        pop.Timeout = 10000;
    }

    static std::unique_ptr<DovecotInstance> server_;
};
std::unique_ptr<DovecotInstance> Dovecot::server_;

TEST_F(Dovecot, UserPassInPlainTextOnPort110) {
    TPOP3Send pop;
    Aim(pop, kAddress, "110");
    pop.AuthType = POP3AuthLogin;
    ASSERT_TRUE(pop.OpenSession()) << pop.Sock().LastErrorText;
    EXPECT_FALSE(pop.Sock().Tls().TlsEnabled());
    PrintLines("CAPA in plain text on port 110", pop.CapabilityList());
    EXPECT_EQ(Messages(pop.ListUids(0).FullResult), (Lines{"1", "2", "3"}));
    const TPOP3Reply top = pop.FetchTop(1, 0);
    ASSERT_TRUE(top.Ok());
    EXPECT_NE(std::find(top.FullResult.begin(), top.FullResult.end(), "Subject: First message"),
              top.FullResult.end());
    EXPECT_TRUE(pop.CloseSession().Ok());
}

TEST_F(Dovecot, StlsUpgradeOnPort110) {
    TPOP3Send pop;
    Aim(pop, kAddress, "110");
    ASSERT_TRUE(pop.OpenConnection());
    const TPOP3Reply greeting = pop.ReadReply(false);
    ASSERT_TRUE(greeting.Ok());
    std::cout << "greeting: " << greeting.ResultString << "\n";
    ASSERT_TRUE(pop.QueryCapabilities());
    PrintLines("CAPA before STLS", pop.CapabilityList());
    EXPECT_EQ(pop.FindCapability("stls"), "STLS");

    pop.AutoTLS = true;
    pop.AuthType = POP3AuthLogin;
    ASSERT_TRUE(pop.OpenSession()) << pop.Sock().LastErrorText;
    EXPECT_TRUE(pop.Sock().Tls().TlsEnabled());
    PrintLines("CAPA after STLS", pop.CapabilityList());
    EXPECT_EQ(pop.FindCapability("STLS"), "");
    EXPECT_EQ(pop.ListUids(0).FullResult.size(), 3u);
    EXPECT_TRUE(pop.CloseSession().Ok());
}

TEST_F(Dovecot, ImplicitTlsOnPort995) {
    TPOP3Send pop;
    Aim(pop, kAddress, "995");
    pop.FullSSL = true;
    pop.AuthType = POP3AuthLogin;
    ASSERT_TRUE(pop.OpenSession()) << pop.Sock().LastErrorText;
    EXPECT_TRUE(pop.Sock().Tls().TlsEnabled());
    PrintLines("CAPA with TLS on port 995", pop.CapabilityList());
    EXPECT_EQ(pop.ListUids(0).FullResult.size(), 3u);
    EXPECT_TRUE(pop.CloseSession().Ok());
}

TEST_F(Dovecot, ApopLoginWhenTheGreetingHasATimeStamp) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "after STLS" : "plain text");
        TPOP3Send pop;
        Aim(pop, kAddress, "110");
        pop.AutoTLS = tls;
        ASSERT_TRUE(pop.OpenSession());
        EXPECT_TRUE(pop.TimeStamp().starts_with("<")) << pop.TimeStamp();
        EXPECT_EQ(pop.Sock().Tls().TlsEnabled(), tls);
        EXPECT_TRUE(pop.CloseSession().Ok());
    }
    EXPECT_NE(server_->Log().find("method=APOP"), std::string::npos);
}

TEST_F(Dovecot, WrongPasswordIsRefusedQuickly) {
    for (TPOP3AuthType type : {POP3AuthLogin, POP3AuthAll}) {
        SCOPED_TRACE(type);
        TPOP3Send pop;
        Aim(pop, kAddress, "110", "wrong");
        pop.AuthType = type;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(pop.OpenSession());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST_F(Dovecot, DotStuffedLinesComeBackAsStored) {
    TPOP3Send pop;
    Aim(pop, kAddress, "110");
    ASSERT_TRUE(pop.OpenSession());
    const Lines top = pop.FetchTop(2, 4).FullResult;
    Lines body(std::find(top.begin(), top.end(), ""), top.end());
    EXPECT_EQ(body,
              (Lines{"", ".a line that starts with a dot", "..and one with two", ".", "after a lone dot"}));
}

// The pipelined TOP walk against Dovecot: the replies of one command at a time, whatever the window; after a
// stop at any message the replies still in flight are drained, so that QUIT gets its own answer.
TEST_F(Dovecot, PipelinedTopWalkGivesTheRepliesOfFetchTopAndDrainsBeforeQuit) {
    auto open = [](TPOP3Send& pop) {
        Aim(pop, kAddress, "110");
        pop.AuthType = POP3AuthLogin;
        return pop.OpenSession();
    };
    const std::vector<int32_t> numbers{1, 2, 3};
    std::vector<Lines> expected; // status line, then body, of each reply to FetchTop
    std::string quitReply;
    {
        TPOP3Send pop;
        ASSERT_TRUE(open(pop));
        EXPECT_TRUE(pop.Pipelining());
        for (int32_t n : numbers) {
            TPOP3Reply reply = pop.FetchTop(n, 2);
            expected.push_back(Lines{reply.ResultString});
            expected.back().insert(expected.back().end(), reply.FullResult.begin(), reply.FullResult.end());
        }
        quitReply = pop.CloseSession().ResultString;
        ASSERT_TRUE(quitReply.starts_with("+OK"));
    }
    for (TPOP3Send::TTopWindow window :
         {TPOP3Send::TTopWindow{1, false}, TPOP3Send::TTopWindow{64, true}, TPOP3Send::TTopWindow{64, false}})
        for (size_t stopAt = 0; stopAt <= numbers.size(); ++stopAt) {
            SCOPED_TRACE("window " + std::to_string(window.Max) + (window.Grow ? " growing" : "") +
                         ", stop at " + std::to_string(stopAt));
            TPOP3Send pop;
            ASSERT_TRUE(open(pop));
            std::vector<Lines> seen;
            pop.FetchTopPipelined(numbers, 2, window, [&](size_t i, TPOP3Reply& reply) {
                seen.push_back(Lines{reply.ResultString});
                seen.back().insert(seen.back().end(), reply.FullResult.begin(), reply.FullResult.end());
                return i != stopAt;
            });
            EXPECT_EQ(seen, std::vector<Lines>(expected.begin(),
                                               expected.begin() + std::min(stopAt + 1, expected.size())));
            EXPECT_EQ(pop.CloseSession().ResultString, quitReply);
        }
}

TEST_F(Dovecot, DeleteTakesEffectOnlyWithQuit) {
    DovecotOptions o;
    o.address = kDeleteAddress;
    o.tlsPort = 0;
    o.stls = false;
    o.mbox = "pop3/three.mbox";
    DovecotInstance deletes(o);
    ASSERT_TRUE(deletes.Start()) << deletes.Error();

    auto listing = [&] {
        TPOP3Send pop;
        Aim(pop, kDeleteAddress, "110");
        EXPECT_TRUE(pop.OpenSession());
        const TPOP3Reply list = pop.ListUids(0);
        EXPECT_TRUE(list.Ok());
        Lines uids = list.FullResult;
        pop.CloseSession();
        return uids;
    };
    Lines before = listing();
    ASSERT_EQ(before.size(), 3u);
    {
        TPOP3Send pop; // DELE, then the connection is dropped without QUIT
        Aim(pop, kDeleteAddress, "110");
        ASSERT_TRUE(pop.OpenSession());
        EXPECT_TRUE(pop.DeleteMessage(1).Ok());
    }
    EXPECT_EQ(listing(), before);
    {
        TPOP3Send pop;
        Aim(pop, kDeleteAddress, "110");
        ASSERT_TRUE(pop.OpenSession());
        EXPECT_TRUE(pop.DeleteMessage(1).Ok());
        EXPECT_TRUE(pop.CloseSession().Ok());
    }
    Lines after = listing();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].substr(2), before[1].substr(2)); // the UIDs stay, the numbers move up
    EXPECT_EQ(after[1].substr(2), before[2].substr(2));
    {
        TPOP3Send pop;
        Aim(pop, kDeleteAddress, "110");
        ASSERT_TRUE(pop.OpenSession());
        EXPECT_TRUE(pop.DeleteMessage(1).Ok());
        EXPECT_TRUE(pop.DeleteMessage(2).Ok());
        EXPECT_TRUE(pop.CloseSession().Ok());
    }
    EXPECT_EQ(listing(), Lines{}); // an empty mailbox lists nothing, successfully
}

TEST_F(Dovecot, TlsFromTheFirstByteFailsOnThePlainPort) {
    TPOP3Send pop;
    Aim(pop, kAddress, "110");
    pop.FullSSL = true;
    pop.Sock().Tls().HandshakeTimeout = 10000;
    EXPECT_FALSE(pop.OpenSession());
    EXPECT_NE(pop.Sock().LastErrorCode, 0);
}

} // namespace

// TLS through the OpenSSL plug-in against an in-test TLS server, the loader's fall-back and the MD5 digest.
#include "net/ssl_openssl.h"

#include <chrono>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "support/tls_test_server.h"
using namespace maildig;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Tls : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!LoadTlsLibrary()) GTEST_SKIP() << "OpenSSL 3 (libssl.so.3) cannot be loaded on this machine";
    }
};

void ConnectTls(TTCPBlockSocket& sock, const TlsTestServer& server) {
    sock.ConnectTo("127.0.0.1", server.portText());
    ASSERT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
    sock.NegotiateTls();
    ASSERT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
    ASSERT_TRUE(sock.Tls().TlsEnabled());
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace

TEST_F(Tls, HandshakeAndLinesBothWays) {
    std::string serverName = "unset";
    std::string version;
    std::string received;
    {
        TlsTestServer server(
            [&](TestConnection& c) {
                serverName = c.ServerName();
                version = c.Version();
                c.Send("+OK hello\r\n");
                c.ReadLine(received);
                // One line in three records, then two lines in one.
                c.Send("ab");
                std::this_thread::sleep_for(30ms);
                c.Send("c\r\nde");
                std::this_thread::sleep_for(30ms);
                c.Send("f\r\ng\nh\r\n");
                c.WaitPeerClose();
            },
            TlsTestServer::ImplicitTls);
        TTCPBlockSocket sock;
        sock.ConvertLineEnd = true;
        EXPECT_EQ(sock.Tls().LibraryNameText(), "ssl_openssl");
        ConnectTls(sock, server);
        EXPECT_EQ(sock.ReceiveLine(5000), "+OK hello");
        sock.SendText("PING\r\n");
        EXPECT_EQ(sock.LastErrorCode, 0);
        for (const char* expected : {"abc", "def", "g", "h"})
            EXPECT_EQ(sock.ReceiveLine(5000), expected);
        EXPECT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
        sock.CloseConnection();
        EXPECT_FALSE(sock.Tls().TlsEnabled());
    }
    EXPECT_EQ(received, "PING");
    EXPECT_EQ(serverName, "");     // no server name unless SNIHost is set
    EXPECT_EQ(version, "TLSv1.3"); // the highest version both sides support
}

TEST_F(Tls, SNIHostIsSentWhenSet) {
    std::string serverName;
    {
        TlsTestServer server(
            [&](TestConnection& c) {
                serverName = c.ServerName();
                c.WaitPeerClose();
            },
            TlsTestServer::ImplicitTls);
        TTCPBlockSocket sock;
        sock.Tls().SNIHost = "mail.example.org";
        ConnectTls(sock, server);
    }
    EXPECT_EQ(serverName, "mail.example.org");
}

TEST_F(Tls, LargeTransferOfLinesArrivesIntact) {
    const int count = 20000;
    TlsTestServer server(
        [&](TestConnection& c) {
            std::string block;
            for (int i = 0; i < count; ++i)
                block += "line " + std::to_string(i) + " of the transfer\r\n";
            c.Send(block);
            c.WaitPeerClose();
        },
        TlsTestServer::ImplicitTls);
    TTCPBlockSocket sock;
    ConnectTls(sock, server);
    for (int i = 0; i < count; ++i) {
        const std::string line = sock.ReceiveLine(5000);
        ASSERT_EQ(line, "line " + std::to_string(i) + " of the transfer") << sock.LastErrorText;
    }
}

TEST_F(Tls, CleanTlsCloseWhileALineIsAwaited) {
    const struct {
        const char* name;
        bool closeTcp;
        int32_t code;
    } cases[] = {
        {"peer closes TLS and TCP", true, 10054},
        {"peer closes TLS only", false, 10060},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsTestServer server(
            [&](TestConnection& conn) {
                conn.Send("partial");
                conn.ShutdownTls();
                if (c.closeTcp)
                    conn.Close();
                else
                    conn.WaitPeerClose();
            },
            TlsTestServer::ImplicitTls);
        TTCPBlockSocket sock;
        ConnectTls(sock, server);
        const auto start = Clock::now();
        EXPECT_EQ(sock.ReceiveLine(400), "");
        EXPECT_EQ(sock.LastErrorCode, c.code) << sock.LastErrorText;
        EXPECT_EQ(sock.ReadAhead.view(), "partial");
        EXPECT_LT(Clock::now() - start, 3s);
    }
}

TEST_F(Tls, PeerThatIsNotTlsFailsTheHandshakeWithOpenSslsText) {
    // A plain-text server answers the client's hello with an error line.
    TlsTestServer server([](TestConnection& c) {
        if (c.ReadSome().empty()) return;
        c.Send("-ERR unknown command\r\n");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    sock.ConnectTo("127.0.0.1", server.portText());
    const auto start = Clock::now();
    sock.NegotiateTls();
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(sock.LastErrorCode, 10091);
    EXPECT_NE(sock.LastErrorText.find("wrong version number"), std::string::npos) << sock.LastErrorText;
    EXPECT_NE(sock.Tls().LastError, 0);
    EXPECT_FALSE(sock.Tls().TlsEnabled());
}

TEST_F(Tls, PeerThatSpeaksFirstOnAFreshConnectionFailsAtOnce) {
    // A plain-text server greets as soon as it accepts. With TLS from the first byte its greeting is not
    // thrown away as stale plain text (which would leave the handshake waiting for its time-out): the
    // handshake reads it and fails.
    TlsTestServer server([](TestConnection& c) {
        c.Send("+OK plain text server ready\r\n");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    sock.Tls().HandshakeTimeout = 5000;
    sock.ConnectTo("127.0.0.1", server.portText());
    ASSERT_TRUE(sock.WaitReadable(5000)); // the greeting has arrived before the handshake starts
    const auto start = Clock::now();
    sock.NegotiateTls();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(sock.LastErrorCode, 10091);
    EXPECT_FALSE(sock.Tls().TlsEnabled());
}

TEST_F(Tls, SilentPeerFailsTheHandshakeWithinTheTimeout) {
    TlsTestServer server([](TestConnection& c) { c.WaitPeerClose(); });
    TTCPBlockSocket sock;
    sock.Tls().HandshakeTimeout = 300;
    sock.ConnectTo("127.0.0.1", server.portText());
    const auto start = Clock::now();
    sock.NegotiateTls();
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(sock.LastErrorCode, 10091);
    EXPECT_EQ(sock.LastErrorText, "TLS handshake timed out");
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 3s);
    EXPECT_FALSE(sock.Tls().TlsEnabled());
}

TEST_F(Tls, NegotiateBeforeConnectChangesNothing) {
    TTCPBlockSocket sock;
    sock.NegotiateTls();
    EXPECT_EQ(sock.LastErrorCode, 10091);
    EXPECT_EQ(sock.LastErrorText, "Network subsystem is unusable");
    EXPECT_EQ(sock.Handle(), -1);
    EXPECT_FALSE(sock.Tls().TlsEnabled());
    EXPECT_TRUE(sock.ReadAhead.empty());
}

TEST_F(Tls, TwoHandshakesAcrossAReconnect) {
    int closeAlerts = 0;
    {
        TlsTestServer server(
            [&](TestConnection& c) {
                c.Send("+OK ready\r\n");
                std::string line;
                if (c.ReadLine(line)) c.Send(line + " done\r\n");
                if (c.WaitPeerClose()) ++closeAlerts;
            },
            TlsTestServer::ImplicitTls);
        TTCPBlockSocket sock;
        for (const char* word : {"first", "second"}) {
            ConnectTls(sock, server);
            EXPECT_EQ(sock.ReceiveLine(5000), "+OK ready");
            sock.SendText(std::string(word) + "\r\n");
            EXPECT_EQ(sock.ReceiveLine(5000), std::string(word) + " done");
            sock.CloseConnection();
            EXPECT_FALSE(sock.Tls().TlsEnabled());
        }
        EXPECT_EQ(server.accepted(), 2);
    }
    EXPECT_EQ(closeAlerts, 2);
}

// A man in the middle can append replies to the plain-text "+OK" of STLS; they must never count as replies
// of the TLS session.
TEST_F(Tls, PlainTextBytesBeforeTheHandshakeAreDiscarded) {
    const struct {
        const char* name;
        bool samePacket;
    } cases[] = {{"injected in the same packet", true}, {"injected in a later packet, unread", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsTestServer server([&](TestConnection& conn) {
            std::string line;
            if (!conn.ReadLine(line)) return;
            if (c.samePacket) {
                conn.Send("+OK begin TLS\r\n+OK injected\r\n");
            } else {
                conn.Send("+OK begin TLS\r\n");
                std::this_thread::sleep_for(50ms);
                conn.Send("+OK injected\r\n");
            }
            if (!conn.StartTls()) return;
            conn.Send("+OK real\r\n");
            conn.WaitPeerClose();
        });
        TTCPBlockSocket sock;
        sock.ConvertLineEnd = true;
        sock.ConnectTo("127.0.0.1", server.portText());
        sock.SendText("STLS\r\n");
        EXPECT_EQ(sock.ReceiveLine(5000), "+OK begin TLS");
        std::this_thread::sleep_for(200ms); // the injected line is now either in ReadAhead or on the socket
        sock.NegotiateTls();
        ASSERT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
        EXPECT_EQ(sock.ReceiveLine(5000), "+OK real");
    }
}

TEST_F(Tls, SendingToAPeerThatClosedGivesAnErrorNotASignal) {
    TlsTestServer server([](TestConnection& c) { c.Close(); }, TlsTestServer::ImplicitTls);
    TTCPBlockSocket sock;
    ConnectTls(sock, server);
    std::this_thread::sleep_for(100ms);
    const std::string block(65536, 'x');
    for (int i = 0; i < 50 && sock.LastErrorCode == 0; ++i)
        sock.SendText(block);
    EXPECT_EQ(sock.LastErrorCode, 10091);
}

TEST(TlsLoader, LibraryNamesThatDoNotExistLeaveTheSocketsWithoutTls) {
    UnloadTlsLibrary();
    EXPECT_FALSE(LoadTlsLibraryFrom({"libssl-maildig-missing.so.3"}, {"libcrypto-maildig-missing.so.3"}));
    EXPECT_FALSE(LoadTlsLibraryFrom({"libssl.so.3"}, {"libcrypto-maildig-missing.so.3"}));
    EXPECT_FALSE(IsTlsLibraryLoaded());
    EXPECT_EQ(TlsLibraryName(), "");
    std::string digest;
    EXPECT_FALSE(OpenSslMd5("abc", digest));

    TlsTestServer server([](TestConnection& c) { c.WaitPeerClose(); }, TlsTestServer::ImplicitTls);
    TTCPBlockSocket sock;
    EXPECT_EQ(sock.Tls().LibraryNameText(), "ssl_none");
    sock.ConnectTo("127.0.0.1", server.portText());
    ASSERT_EQ(sock.LastErrorCode, 0);
    sock.NegotiateTls();
    EXPECT_EQ(sock.LastErrorCode, 10091);
    EXPECT_EQ(sock.LastErrorText, "SSL/TLS support is not compiled!");
    sock.CloseConnection();

    // Loading with the usual names afterwards gives the OpenSSL plug-in to new sockets.
    if (!LoadTlsLibrary()) GTEST_SKIP() << "OpenSSL 3 cannot be loaded on this machine";
    EXPECT_EQ(TlsLibraryName(), "libssl.so.3");
    TTCPBlockSocket later;
    EXPECT_EQ(later.Tls().LibraryNameText(), "ssl_openssl");
    EXPECT_NE(later.Tls().LibraryVersionText().find("OpenSSL 3"), std::string::npos);
}

TEST_F(Tls, Md5OfKnownInputs) {
    const struct {
        const char* input;
        const char* hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        // The APOP example: time stamp of the greeting followed by the secret.
        {"<1896.697170952@dbc.mtview.ca.us>tanstaaf", "c4c9334bac560ecc979e58001b3e22fb"},
    };
    for (const auto& c : cases) {
        std::string digest;
        ASSERT_TRUE(OpenSslMd5(c.input, digest));
        EXPECT_EQ(Hex(digest), c.hex) << c.input;
    }
}

// The blocking TCP socket against loopback peers scripted per test.
#include "net/blocksock.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "support/tls_test_server.h"
using namespace maildig;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sends the packets with a pause between them, so that each arrives as a read of its own, then waits for
// the client to close.
TlsTestServer::Script SendPackets(std::vector<std::string> packets) {
    return [packets](TestConnection& c) {
        for (const std::string& packet : packets) {
            c.Send(packet);
            std::this_thread::sleep_for(80ms);
        }
        c.WaitPeerClose();
    };
}

void Connect(TTCPBlockSocket& sock, const TlsTestServer& server) {
    sock.ConnectTo("127.0.0.1", server.portText());
    ASSERT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

} // namespace

TEST(ReceiveLine, LineEndsInEveryFormAndSplitAcrossReads) {
    const struct {
        const char* name;
        bool convert;
        std::vector<std::string> packets;
        std::vector<std::string> lines;
    } cases[] = {
        {"crlf in one piece", true, {"abc\r\ndef\r\n"}, {"abc", "def"}},
        {"lone cr then lf in next read", true, {"abc\r", "\ndef\r\n"}, {"abc", "def"}},
        {"lf, lf cr, crlf", true, {"a\nb\n\rc\r\n"}, {"a", "b", "c"}},
        {"lone lf then cr in next read", true, {"a\n", "\rb\r\n"}, {"a", "b"}},
        {"lone cr between lines", true, {"a\rb\rc\r\n"}, {"a", "b", "c"}},
        {"lone cr then crlf is an empty line", true, {"a\r", "\r\n"}, {"a", ""}},
        {"line in three reads", true, {"ab", "c\r", "\nd\n"}, {"abc", "d"}},
        {"empty lines", true, {"\r\n\r\nx\r\n"}, {"", "", "x"}},
        {"long lines past the scan window",
         true,
         {std::string(5000, 'x') + "\r" + std::string(9000, 'y') + "\n" + std::string(4095, 'z') + "\r\nw\n"},
         {std::string(5000, 'x'), std::string(9000, 'y'), std::string(4095, 'z'), "w"}},
        // A line that is most of the read-ahead takes its buffer; the bytes after it must survive that.
        {"huge line, its terminator split, then more",
         true,
         {std::string(300000, 'h') + "\r", "\nnext\r\n", std::string(70000, 'i') + "\nj\n"},
         {std::string(300000, 'h'), "next", std::string(70000, 'i'), "j"}},
        {"cr lf split without conversion", false, {"a\r", "\nb\r\n"}, {"a", "b"}},
        {"bare lf kept without conversion", false, {"a\nb\r\n"}, {"a\nb"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsTestServer server(SendPackets(c.packets));
        TTCPBlockSocket sock;
        sock.ConvertLineEnd = c.convert;
        Connect(sock, server);
        for (const std::string& expected : c.lines) {
            EXPECT_EQ(sock.ReceiveLine(5000), expected);
            EXPECT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
        }
        sock.CloseConnection();
    }
}

TEST(ReceiveLine, SecondLineOfOnePacketComesFromReadAhead) {
    TlsTestServer server([](TestConnection& c) {
        c.Send("abc\r\ndef\r\n");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    Connect(sock, server);
    EXPECT_EQ(sock.ReceiveLine(5000), "abc");
    EXPECT_EQ(sock.ReadAhead.view(), "def\r\n");
    EXPECT_EQ(sock.ReceiveLine(5000), "def");
    EXPECT_TRUE(sock.ReadAhead.empty());
}

TEST(ReceiveLine, PeerClosingMidLineGives10054AndKeepsTheBytes) {
    TlsTestServer server([](TestConnection& c) {
        c.Send("abc");
        c.Close();
    });
    TTCPBlockSocket sock;
    sock.ConvertLineEnd = true;
    Connect(sock, server);
    EXPECT_EQ(sock.ReceiveLine(5000), "");
    EXPECT_EQ(sock.LastErrorCode, 10054);
    EXPECT_EQ(sock.LastErrorText, "Connection reset by peer");
    EXPECT_EQ(sock.ReadAhead.view(), "abc");
}

TEST(ReceiveLine, SilentPeerTimesOutWith10060) {
    TlsTestServer server([](TestConnection& c) { c.WaitPeerClose(); });
    TTCPBlockSocket sock;
    Connect(sock, server);
    const auto start = Clock::now();
    EXPECT_EQ(sock.ReceiveLine(300), "");
    EXPECT_EQ(sock.LastErrorCode, 10060);
    EXPECT_EQ(sock.LastErrorText, "Connection timed out");
    EXPECT_GE(MsSince(start), 290);
}

TEST(ReceiveLine, InterPacketTimeoutDecidesWhetherATricklingPeerKeepsTheReadAlive) {
    for (const bool interPacket : {true, false}) {
        SCOPED_TRACE(interPacket ? "each wait starts afresh" : "one time-out for the whole line");
        TlsTestServer server(SendPackets({"a", "b", "c", "d", "\r\n"}));
        TTCPBlockSocket sock;
        sock.InterPacketTimeout = interPacket;
        Connect(sock, server);
        // The pauses between the pieces add up to more than 200 ms, but each is far below 2000 ms.
        const std::string line = sock.ReceiveLine(interPacket ? 2000 : 200);
        if (interPacket) {
            EXPECT_EQ(line, "abcd");
            EXPECT_EQ(sock.LastErrorCode, 0);
        } else {
            EXPECT_EQ(line, "");
            EXPECT_EQ(sock.LastErrorCode, 10060);
        }
    }
}

TEST(ReceiveLine, MaxLineLengthLimitsOneLineNotTheWholeRead) {
    const struct {
        const char* name;
        std::string data;
        std::vector<std::string> lines; // expected before the error (if any)
        int32_t finalCode;
    } cases[] = {
        // Many short lines arriving in one read longer than the limit are all fine.
        {"short lines",
         "0123456789\r\n0123456789\r\n0123456789\r\n",
         {"0123456789", "0123456789", "0123456789"},
         0},
        {"line at the limit", "0123456789ABCDEF\r\n", {"0123456789ABCDEF"}, 0},
        {"line over the limit", "ok\r\n0123456789ABCDEFG\r\n", {"ok"}, 10055},
        {"endless line", std::string(200, 'x'), {}, 10055},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TlsTestServer server(SendPackets({c.data}));
        TTCPBlockSocket sock;
        sock.ConvertLineEnd = true;
        sock.MaxLineLength = 16;
        Connect(sock, server);
        for (const std::string& expected : c.lines)
            EXPECT_EQ(sock.ReceiveLine(5000), expected);
        if (c.finalCode != 0) {
            EXPECT_EQ(sock.ReceiveLine(5000), "");
            EXPECT_EQ(sock.LastErrorCode, c.finalCode);
            EXPECT_EQ(sock.LastErrorText, "No Buffer space available");
        } else {
            EXPECT_EQ(sock.LastErrorCode, 0);
        }
    }
}

TEST(ReceiveUntil, ExactTerminatorSplitAcrossReads) {
    TlsTestServer server(SendPackets({"one<E", "ND>two<END>"}));
    TTCPBlockSocket sock;
    Connect(sock, server);
    EXPECT_EQ(sock.ReceiveUntil(5000, "<END>"), "one");
    EXPECT_EQ(sock.ReceiveUntil(5000, "<END>"), "two");
    EXPECT_EQ(sock.ReceiveUntil(5000, ""), "");
    EXPECT_EQ(sock.LastErrorCode, 0);
}

TEST(ConnectTo, RefusedConnectionGives10061) {
    TTCPBlockSocket sock;
    sock.ConnectTo("127.0.0.1", std::to_string(UnusedLoopbackPort()));
    EXPECT_EQ(sock.LastErrorCode, 10061);
    EXPECT_EQ(sock.LastErrorText, "Connection refused");
}

TEST(ConnectTo, UnresolvableHostGivesHostNotFound) {
    // An empty label is refused by the resolver itself, so no query leaves the machine.
    TTCPBlockSocket sock;
    sock.ConnectTo("bad..name", "110");
    EXPECT_EQ(sock.LastErrorCode, 11001);
    EXPECT_EQ(sock.LastErrorText, "Host not found");
    EXPECT_EQ(sock.Handle(), -1);
}

TEST(ConnectTo, HostNamesAndIPv6LiteralsResolve) {
    TlsTestServer server([](TestConnection& c) {
        c.Send("hi\r\n");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    sock.ConnectTo("localhost", server.portText()); // IPv4 first: the server listens on 127.0.0.1 only
    ASSERT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
    EXPECT_EQ(sock.ReceiveLine(5000), "hi");
    sock.CloseConnection();

    TTCPBlockSocket six;
    six.ConnectTo("::1", std::to_string(UnusedLoopbackPort()));
    if (six.LastErrorCode == 10047 || six.LastErrorCode == 10049)
        GTEST_SKIP() << "no IPv6 loopback here: " << six.LastErrorText;
    EXPECT_EQ(six.LastErrorCode, 10061) << six.LastErrorText;
}

TEST(ConnectTo, SmallWritesGoOutAtOnce) {
    // Pipelined commands are short writes; Nagle would hold each one back until the last is acknowledged.
    TlsTestServer server([](TestConnection& c) { c.WaitPeerClose(); });
    TTCPBlockSocket sock;
    Connect(sock, server);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(sock.Handle(), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(BindLocal, AnyAddressOnANewSocketCreatesNothing) {
    TTCPBlockSocket sock;
    sock.BindLocal("0.0.0.0", "0");
    EXPECT_EQ(sock.LastErrorCode, 0);
    EXPECT_EQ(sock.Handle(), -1);
    EXPECT_FALSE(sock.IsBound);
}

TEST(BindLocal, LoopbackBindThenConnect) {
    TlsTestServer server([](TestConnection& c) {
        c.Send("bound\r\n");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    sock.BindLocal("127.0.0.1", "0");
    EXPECT_EQ(sock.LastErrorCode, 0) << sock.LastErrorText;
    EXPECT_TRUE(sock.IsBound);
    EXPECT_NE(sock.Handle(), -1);
    Connect(sock, server);
    EXPECT_EQ(sock.ReceiveLine(5000), "bound");
}

TEST(TTCPBlockSocket, UnconnectedSocketFailsAtOnce) {
    TTCPBlockSocket sock;
    const auto start = Clock::now();
    sock.SendText("x\r\n");
    EXPECT_EQ(sock.LastErrorCode, 10057);
    EXPECT_EQ(sock.ReceiveLine(5000), "");
    EXPECT_EQ(sock.LastErrorCode, 10057);
    EXPECT_EQ(sock.LastErrorText, "Socket is not connected");
    EXPECT_LT(MsSince(start), 1000);
}

TEST(SendText, ReachesThePeerWholeAndCloseIsOrderly) {
    const std::string payload(300000, 'p'); // several chunks of 65536
    std::string received;
    bool sawClose = false;
    {
        TlsTestServer server([&](TestConnection& c) {
            std::string line;
            if (c.ReadLine(line)) received = line;
            c.Send("+OK\r\n");
            sawClose = c.WaitPeerClose();
        });
        TTCPBlockSocket sock;
        Connect(sock, server);
        sock.SendText(payload + "\r\n");
        EXPECT_EQ(sock.LastErrorCode, 0);
        EXPECT_EQ(sock.ReceiveLine(5000), "+OK");
        sock.CloseConnection();
        EXPECT_EQ(sock.Handle(), -1);
    }
    EXPECT_EQ(received, payload);
    EXPECT_TRUE(sawClose);
}

TEST(SendText, PeerThatClosedGivesAnErrorCodeNotASignal) {
    // SIGPIPE keeps its default action here: if a send raised it, the test process would end.
    TlsTestServer server([](TestConnection& c) { c.Close(); });
    TTCPBlockSocket sock;
    Connect(sock, server);
    std::this_thread::sleep_for(100ms);
    const std::string block(65536, 'x');
    for (int i = 0; i < 50 && sock.LastErrorCode == 0; ++i)
        sock.SendText(block);
    EXPECT_EQ(sock.LastErrorCode, 10054);
    EXPECT_EQ(sock.LastErrorText, "Connection reset by peer");
}

TEST(TTCPBlockSocket, StopFlagAbortsTheNextSend) {
    TlsTestServer server([](TestConnection& c) { c.WaitPeerClose(); });
    TTCPBlockSocket sock;
    Connect(sock, server);
    sock.StopFlag = true;
    EXPECT_EQ(sock.SendBytes("abc", 3), 0);
    EXPECT_EQ(sock.LastErrorCode, 10053);
    EXPECT_FALSE(sock.StopFlag);
}

TEST(TTCPBlockSocket, ReconnectStartsWithAnEmptyReadAhead) {
    TlsTestServer server([](TestConnection& c) {
        c.Send("first\r\nleft over");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    Connect(sock, server);
    EXPECT_EQ(sock.ReceiveLine(5000), "first");
    sock.CloseConnection();
    Connect(sock, server);
    EXPECT_TRUE(sock.ReadAhead.empty());
    EXPECT_EQ(sock.ReceiveLine(5000), "first");
    EXPECT_EQ(server.accepted(), 2);
}

TEST(NegotiateTls, WithoutTlsSupportFailsWith10091AndTheTlsText) {
    TTCPBlockSocket unconnected;
    unconnected.SetTls(MakeSSLNone(unconnected));
    unconnected.NegotiateTls();
    EXPECT_EQ(unconnected.LastErrorCode, 10091);
    EXPECT_EQ(unconnected.LastErrorText, "SSL/TLS support is not compiled!");
    EXPECT_EQ(unconnected.Handle(), -1);
    EXPECT_EQ(unconnected.Tls().LibraryNameText(), "ssl_none");
    EXPECT_EQ(unconnected.Tls().LibraryVersionText(), "Without SSL support");

    // On a connection the plain session goes on after the refused handshake.
    TlsTestServer server([](TestConnection& c) {
        std::string line;
        if (c.ReadLine(line)) c.Send(line + "\r\n");
        c.WaitPeerClose();
    });
    TTCPBlockSocket sock;
    sock.SetTls(MakeSSLNone(sock));
    Connect(sock, server);
    sock.NegotiateTls();
    EXPECT_EQ(sock.LastErrorCode, 10091);
    EXPECT_EQ(sock.LastErrorText, "SSL/TLS support is not compiled!");
    EXPECT_FALSE(sock.Tls().TlsEnabled());
    sock.SendText("echo\r\n");
    EXPECT_EQ(sock.ReceiveLine(5000), "echo");
}

TEST(CloseConnection, PeerThatNeverStopsSendingDoesNotHoldTheClose) {
    std::atomic<bool> done{false};
    TlsTestServer server([&](TestConnection& c) {
        const std::string block = "+OK " + std::string(65530, 'f') + "\r\n";
        while (!done && c.Send(block)) {
        }
    });
    TTCPBlockSocket sock;
    Connect(sock, server);
    EXPECT_EQ(sock.ReceiveLine(5000).substr(0, 3), "+OK");
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    sock.CloseConnection();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_EQ(sock.Handle(), -1);
    done = true;
}

// Fuzz target: the server's side of a whole session (greeting, CAPA, USER/PASS or SASL, UIDL and TOP replies,
// in that order) read by the real client over a loopback connection, the TOP reply then parsed as a message.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "mime/mime_message.h"
#include "pop3/pop3_send.h"
#include "search/message_search.h"
using namespace maildig;

namespace {

// One listening socket on 127.0.0.1 with a port the system picks, shared by every run.
int listener(std::string& port) {
    static int fd = -1;
    static std::string bound;
    if (fd == -1) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0) return -1;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        bound = std::to_string(ntohs(addr.sin_port));
    }
    port = bound;
    return fd;
}

// Writes the whole script, half-closes and reads whatever the client sends until it closes.
void serve(int fd, std::string script) {
    const int conn = ::accept(fd, nullptr, nullptr);
    if (conn < 0) return;
    std::thread reader([conn] {
        char buf[4096];
        while (::recv(conn, buf, sizeof buf, 0) > 0) {
        }
    });
    for (std::size_t sent = 0; sent < script.size();) {
        const ssize_t n = ::send(conn, script.data() + sent, script.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(conn, SHUT_WR);
    reader.join();
    ::close(conn);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string port;
    const int fd = listener(port);
    if (fd < 0) return 0;
    std::thread server(serve, fd, std::string(reinterpret_cast<const char*>(data), size));
    {
        TPOP3Send pop;
        pop.TargetHost = "127.0.0.1";
        pop.TargetPort = port;
        pop.Timeout = 2000;
        // A script that names a token mechanism is played to a login with a token, so that SASL challenges
        // are fuzzed too.
        const std::string_view script(reinterpret_cast<const char*>(data), size);
        pop.AuthType = script.find("OAUTH") != std::string_view::npos ? POP3AuthOAuth : POP3AuthLogin;
        pop.UserName = "user";
        pop.Password = "pass";
        if (pop.OpenSession() && pop.QueryCapabilities()) {
            (void)pop.FindCapability("TOP");
            if (pop.ListUids(0).Ok()) {
                TMimeMess mess;
                mess.Lines() = pop.FetchTop(1, 125).FullResult;
                mess.ParseMessage();
                Lines textLines;
                (void)findTextPart(mess.MessagePart(), textLines);
            }
        }
        pop.Sock().DropSocket();
    }
    server.join();
    return 0;
}

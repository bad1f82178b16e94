// The protocol floor of a search: the least a client on the program's own socket must do to walk a mailbox
// (USER/PASS, UIDL, one TOP per message with its reply read line by line and thrown away), and its time.
//
//   bench_floor HOST PORT USER PASS [WINDOW] [--lines N] [--load-tls]
//
// WINDOW (default 1) is the number of TOP commands kept in flight: 1 walks one by one, more pipelines. Port
// 110 speaks plain text, any other port TLS from the first byte (OpenSSL loaded at start). --lines sets the
// TOP line count (default 125), --load-tls loads OpenSSL even for plain text (to compare peak memory). Prints
// the message count and the elapsed seconds from the connect to the QUIT reply; exits 1 on any failure.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "net/blocksock.h"
#include "net/ssl_openssl.h"
using namespace maildig;

namespace {

constexpr int32_t kTimeout = 60000;

[[noreturn]] void fail(const std::string& what, const TTCPBlockSocket& sock) {
    std::fprintf(stderr, "bench_floor: %s failed: %d %s\n", what.c_str(), sock.LastErrorCode,
                 sock.LastErrorText.c_str());
    std::exit(1);
}

// Reads one status line; true on "+OK".
bool readStatus(TTCPBlockSocket& sock, const std::string& what) {
    const std::string line = sock.ReceiveLine(kTimeout);
    if (sock.LastErrorCode != 0) fail(what, sock);
    return line.compare(0, 3, "+OK") == 0;
}

// Reads the body of a multi-line reply up to the lone "."; each line goes to keep when given.
void readBody(TTCPBlockSocket& sock, const std::string& what, std::vector<std::string>* keep) {
    for (;;) {
        std::string line = sock.ReceiveLine(kTimeout);
        if (sock.LastErrorCode != 0) fail(what, sock);
        if (line == ".") return;
        if (keep) keep->push_back(std::move(line));
    }
}

void command(TTCPBlockSocket& sock, const std::string& text) {
    sock.SendText(text + "\r\n");
    if (sock.LastErrorCode != 0) fail(text.substr(0, 4), sock);
    if (!readStatus(sock, text.substr(0, 4))) {
        std::fprintf(stderr, "bench_floor: %s refused\n", text.substr(0, 4).c_str());
        std::exit(1);
    }
}

int usage() {
    std::fputs("usage: bench_floor HOST PORT USER PASS [WINDOW] [--lines N] [--load-tls]\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    std::vector<std::string> positional;
    int lines = 125;
    bool loadTls = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--lines") == 0 && i + 1 < argc)
            lines = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--load-tls") == 0)
            loadTls = true;
        else if (argv[i][0] == '-')
            return usage();
        else
            positional.emplace_back(argv[i]);
    }
    if (positional.size() < 4 || positional.size() > 5) return usage();
    const std::string& host = positional[0];
    const std::string& port = positional[1];
    const size_t window = positional.size() == 5 ? std::strtoul(positional[4].c_str(), nullptr, 10) : 1;
    if (window < 1 || lines < 0) return usage();
    const bool tls = port != "110";
    if ((tls || loadTls) && !StartNetwork() && tls) {
        std::fputs("bench_floor: OpenSSL could not be loaded\n", stderr);
        return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    TTCPBlockSocket sock;
    sock.ConnectTo(host, port);
    if (sock.LastErrorCode != 0) fail("connect", sock);
    if (tls) {
        sock.NegotiateTls();
        if (sock.LastErrorCode != 0) fail("TLS handshake", sock);
    }
    if (!readStatus(sock, "greeting")) fail("greeting", sock);
    command(sock, "USER " + positional[2]);
    command(sock, "PASS " + positional[3]);

    command(sock, "UIDL");
    std::vector<std::string> listing;
    readBody(sock, "UIDL", &listing);
    std::vector<std::string> numbers;
    numbers.reserve(listing.size());
    for (const std::string& line : listing)
        numbers.push_back(line.substr(0, line.find(' ')));

    // Keep up to `window` TOP commands sent and not yet answered; the replies come back in order.
    const std::string suffix = std::string(" ").append(std::to_string(lines)).append("\r\n");
    size_t sent = 0;
    std::string batch;
    for (size_t done = 0; done < numbers.size(); ++done) {
        batch.clear();
        while (sent < numbers.size() && sent - done < window)
            batch.append("TOP ").append(numbers[sent++]).append(suffix);
        if (!batch.empty()) {
            sock.SendText(batch);
            if (sock.LastErrorCode != 0) fail("TOP", sock);
        }
        if (readStatus(sock, "TOP")) readBody(sock, "TOP", nullptr);
    }

    command(sock, "QUIT");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sock.CloseConnection();
    std::printf("messages %zu window %zu seconds %.4f\n", numbers.size(), window, seconds);
    StopNetwork();
    return 0;
}

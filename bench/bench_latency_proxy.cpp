// A TCP proxy on loopback that adds a fixed one-way delay to each direction, to measure a POP3 client as if
// its server were far away; it can also hide PIPELINING from the server's CAPA replies.
//
//   bench_latency_proxy --listen 127.0.0.92:110 --target 127.0.0.90:110 [--delay-ms 5] [--strip-pipelining]
//                       [--connections N] [--idle-seconds 300] [--handshake] [--report-bytes]
//
// Every chunk read from one side is queued with the time it may leave (arrival + delay) and written to the
// other side once that time has come, in order; reading goes on meanwhile, so pipelined data overlaps the
// delay as on a real link (a round trip costs twice the delay, not twice per read). With
// --strip-pipelining the proxy follows the POP3 exchange (which command each reply answers, where multi-line
// replies end) and drops a "PIPELINING" line from CAPA replies, so one client can be measured walking the
// mailbox sequentially. With --handshake the server's first bytes reach the client no earlier than four
// delays (two round trips) after the connection was accepted, as a greeting does on a real link, where the
// TCP handshake takes a round trip before the server can send it. With --report-bytes it prints
// "bytes FROM_SERVER TO_SERVER" on standard output as each connection ends. Prints "ready" on standard output
// once it listens. Stops on SIGINT or SIGTERM, after N connections have ended (when given), or after
// idle-seconds without any connection. Only loopback addresses are accepted on both ends.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "bytes/ascii.h"
using namespace maildig;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadSize = 64 * 1024;
constexpr size_t kQueueCap = 8 * 1024 * 1024; // a direction stops reading while this much waits
constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHeldLine = 64 * 1024; // a longer line is passed on without being looked at

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

[[noreturn]] void die(const std::string& text) {
    std::fprintf(stderr, "bench_latency_proxy: %s\n", text.c_str());
    std::exit(1);
}

// "127.x.y.z:port" into a socket address; loopback only.
sockaddr_in parseAddress(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) die("address without port: " + text);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr.sin_addr) != 1) die("bad address: " + text);
    if ((ntohl(addr.sin_addr.s_addr) >> 24) != 127) die("not a loopback address: " + text);
    const long port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
    if (port <= 0 || port > 65535) die("bad port: " + text);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

// Follows one POP3 session to drop "PIPELINING" from CAPA replies. The client's commands are seen before
// the server answers them, so each status line can be paired with its command.
class CapaFilter {
  public:
    // A complete or partial chunk of client commands.
    void ClientData(std::string_view data) {
        if (!active_) return;
        for (char c : data) {
            if (c != '\n') {
                if (command_.size() < kMaxHeldLine) command_ += c;
                continue;
            }
            Expect(withoutLineEnd(command_));
            command_.clear();
        }
    }

    // Server bytes in, the bytes to pass on out (whole lines; a partial line waits for its end).
    std::string ServerData(std::string_view data) {
        if (!active_) return std::string(data);
        std::string out;
        out.reserve(data.size());
        while (!data.empty()) {
            const size_t nl = data.find('\n');
            if (midLine_) { // the rest of a line already passed on
                const size_t n = nl == std::string_view::npos ? data.size() : nl + 1;
                out.append(data.substr(0, n));
                data.remove_prefix(n);
                if (nl != std::string_view::npos) midLine_ = false;
                continue;
            }
            if (nl == std::string_view::npos) {
                held_.append(data);
                if (held_.size() > kMaxHeldLine) {
                    out += held_;
                    held_.clear();
                    midLine_ = true;
                }
                break;
            }
            held_.append(data.substr(0, nl + 1));
            data.remove_prefix(nl + 1);
            if (Line(withoutLineEnd(held_))) out += held_;
            held_.clear();
        }
        if (!active_) { // a TLS upgrade was accepted: what follows is not ours to read
            out += held_;
            held_.clear();
        }
        return out;
    }

  private:
    struct Pending {
        bool multiLine;
        bool capa;
        bool stls;
    };
    std::deque<Pending> expected_;
    std::string command_;
    std::string held_;
    bool active_ = true;
    bool greeted_ = false;
    bool inBody_ = false;
    bool inCapa_ = false;
    bool midLine_ = false;

    void Expect(std::string_view line) {
        const size_t blank = line.find(' ');
        const std::string_view word = line.substr(0, blank);
        const bool hasArgument = blank != std::string_view::npos && blank + 1 < line.size();
        const bool capa = EqualsAsciiNoCase(word, "CAPA");
        const bool multi =
            capa || EqualsAsciiNoCase(word, "TOP") || EqualsAsciiNoCase(word, "RETR") ||
            ((EqualsAsciiNoCase(word, "UIDL") || EqualsAsciiNoCase(word, "LIST")) && !hasArgument);
        expected_.push_back({multi, capa, EqualsAsciiNoCase(word, "STLS")});
    }

    // Looks at one whole server line; false drops it.
    bool Line(std::string_view line) {
        if (inBody_) {
            if (line == ".") {
                inBody_ = false;
                inCapa_ = false;
            } else if (inCapa_ && EqualsAsciiNoCase(line, "PIPELINING")) {
                return false;
            }
            return true;
        }
        if (!greeted_) {
            greeted_ = true;
            return true;
        }
        if (expected_.empty()) return true; // an unsolicited line: keep it, expect nothing
        const Pending cmd = expected_.front();
        expected_.pop_front();
        const bool ok = line.substr(0, 3) == "+OK";
        if (ok && cmd.stls) active_ = false;
        if (ok && cmd.multiLine) {
            inBody_ = true;
            inCapa_ = cmd.capa;
        }
        return true;
    }
};

struct Chunk {
    Clock::time_point due;
    std::string data;
    size_t offset = 0;
};

// One direction of a connection: bytes read from `from`, delayed, written to `to`.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    size_t queued = 0;
    bool readEnded = false;        // from closed (or failed): nothing more will be queued
    unsigned long long passed = 0; // bytes read from `from`
    bool writeEnded = false;

    bool Readable() const { return !readEnded && queued < kQueueCap; }
    bool Due(Clock::time_point now) const { return !queue.empty() && queue.front().due <= now; }
};

struct Connection {
    int client = -1;
    int server = -1;
    Direction up;   // client to server
    Direction down; // server to client
    std::unique_ptr<CapaFilter> filter;
    bool failed = false;
    Clock::time_point opened = Clock::now();

    bool Finished() const { return failed || (up.writeEnded && down.writeEnded); }
};

struct Options {
    sockaddr_in listen{};
    sockaddr_in target{};
    std::chrono::microseconds delay{0};
    bool strip = false;
    bool handshake = false;
    bool reportBytes = false;
    long connections = 0; // 0: no limit
    long idleSeconds = 300;
};

// Reads what is there; false when the connection failed.
bool readSide(Connection& c, Direction& d, Clock::time_point now, const Options& opt) {
    char buffer[kReadSize];
    const ssize_t n = recv(d.from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        d.readEnded = true;
        return false;
    }
    if (n == 0) {
        d.readEnded = true;
        return true;
    }
    std::string_view data(buffer, static_cast<size_t>(n));
    d.passed += static_cast<size_t>(n);
    std::string bytes;
    if (c.filter && &d == &c.up) {
        c.filter->ClientData(data);
        bytes.assign(data);
    } else if (c.filter) {
        bytes = c.filter->ServerData(data);
    } else {
        bytes.assign(data);
    }
    if (bytes.empty()) return true;
    d.queued += bytes.size();
    Clock::time_point due = now + opt.delay;
    if (opt.handshake && &d == &c.down) due = std::max(due, c.opened + 4 * opt.delay);
    d.queue.push_back({due, std::move(bytes)});
    return true;
}

// Writes every chunk that is due; false when the connection failed.
bool writeSide(Direction& d, Clock::time_point now) {
    while (d.Due(now)) {
        Chunk& chunk = d.queue.front();
        const ssize_t n = send(d.to, chunk.data.data() + chunk.offset, chunk.data.size() - chunk.offset,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
            return false;
        }
        chunk.offset += static_cast<size_t>(n);
        if (chunk.offset < chunk.data.size()) return true;
        d.queued -= chunk.data.size();
        d.queue.pop_front();
    }
    if (d.readEnded && d.queue.empty() && !d.writeEnded) {
        shutdown(d.to, SHUT_WR);
        d.writeEnded = true;
    }
    return true;
}

Options parseOptions(int argc, char* argv[]) {
    Options opt;
    bool haveListen = false, haveTarget = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--listen") {
            opt.listen = parseAddress(value());
            haveListen = true;
        } else if (arg == "--target") {
            opt.target = parseAddress(value());
            haveTarget = true;
        } else if (arg == "--delay-ms") {
            const double ms = std::strtod(value().c_str(), nullptr);
            if (ms < 0 || ms > 10000) die("delay out of range (0 to 10000 ms)");
            opt.delay = std::chrono::microseconds(static_cast<long long>(ms * 1000));
        } else if (arg == "--strip-pipelining") {
            opt.strip = true;
        } else if (arg == "--handshake") {
            opt.handshake = true;
        } else if (arg == "--report-bytes") {
            opt.reportBytes = true;
        } else if (arg == "--connections") {
            opt.connections = std::strtol(value().c_str(), nullptr, 10);
        } else if (arg == "--idle-seconds") {
            opt.idleSeconds = std::strtol(value().c_str(), nullptr, 10);
        } else {
            die("usage: bench_latency_proxy --listen 127.x.y.z:PORT --target 127.x.y.z:PORT [--delay-ms MS]"
                " [--strip-pipelining] [--connections N] [--idle-seconds S] [--handshake] [--report-bytes]");
        }
    }
    if (!haveListen || !haveTarget) die("--listen and --target are required");
    return opt;
}

int openListener(const sockaddr_in& addr) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die(std::string("socket: ") + std::strerror(errno));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        die(std::string("bind: ") + std::strerror(errno));
    if (listen(fd, 16) != 0) die(std::string("listen: ") + std::strerror(errno));
    return fd;
}

// Accepts one client and connects it to the target; false (and nothing kept) on failure.
bool acceptOne(int listener, const Options& opt, std::vector<std::unique_ptr<Connection>>& conns) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return false;
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 ||
        connect(server, reinterpret_cast<const sockaddr*>(&opt.target), sizeof opt.target) != 0) {
        std::fprintf(stderr, "bench_latency_proxy: cannot reach the target: %s\n", std::strerror(errno));
        if (server >= 0) close(server);
        close(client);
        return false;
    }
    setNoDelay(client);
    setNoDelay(server);
    auto c = std::make_unique<Connection>();
    c->client = client;
    c->server = server;
    c->up.from = client;
    c->up.to = server;
    c->down.from = server;
    c->down.to = client;
    if (opt.strip) c->filter = std::make_unique<CapaFilter>();
    conns.push_back(std::move(c));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    const Options opt = parseOptions(argc, argv);
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int listener = openListener(opt.listen);
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<std::unique_ptr<Connection>> conns;
    long ended = 0;
    auto lastActivity = Clock::now();
    while (!stopRequested) {
        if (opt.connections > 0 && ended >= opt.connections && conns.empty()) break;
        Clock::time_point now = Clock::now();
        if (conns.empty() && now - lastActivity > std::chrono::seconds(opt.idleSeconds)) break;

        // What to wait for, and until when: the earliest chunk still held back.
        std::vector<pollfd> fds;
        Clock::time_point wake = now + std::chrono::milliseconds(200);
        const bool accepting = conns.size() < kMaxConnections;
        fds.push_back({listener, static_cast<short>(accepting ? POLLIN : 0), 0});
        for (auto& c : conns) {
            short clientEvents = 0, serverEvents = 0;
            for (Direction* d : {&c->up, &c->down}) {
                short& fromEvents = d->from == c->client ? clientEvents : serverEvents;
                short& toEvents = d->to == c->client ? clientEvents : serverEvents;
                if (d->Readable()) fromEvents |= POLLIN;
                if (d->Due(now))
                    toEvents |= POLLOUT;
                else if (!d->queue.empty() && d->queue.front().due < wake)
                    wake = d->queue.front().due;
            }
            fds.push_back({c->client, clientEvents, 0});
            fds.push_back({c->server, serverEvents, 0});
        }
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
        timespec ts{};
        if (wait.count() > 0) {
            ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        }
        if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0 && errno != EINTR)
            die(std::string("poll: ") + std::strerror(errno));

        now = Clock::now();
        for (size_t i = 0; i < conns.size(); ++i) {
            Connection& c = *conns[i];
            const short clientRevents = fds[1 + 2 * i].revents;
            const short serverRevents = fds[2 + 2 * i].revents;
            const short readMask = POLLIN | POLLHUP | POLLERR;
            if ((clientRevents & readMask) && c.up.Readable() && !readSide(c, c.up, now, opt))
                c.failed = true;
            if ((serverRevents & readMask) && c.down.Readable() && !readSide(c, c.down, now, opt))
                c.failed = true;
            // Write whatever is due now, including what was just read when there is no delay.
            if (!c.failed && (!writeSide(c.up, now) || !writeSide(c.down, now))) c.failed = true;
        }
        for (size_t i = 0; i < conns.size();) {
            if (conns[i]->Finished()) {
                if (opt.reportBytes) {
                    std::printf("bytes %llu %llu\n", conns[i]->down.passed, conns[i]->up.passed);
                    std::fflush(stdout);
                }
                close(conns[i]->client);
                close(conns[i]->server);
                conns.erase(conns.begin() + static_cast<long>(i));
                ++ended;
                lastActivity = Clock::now();
            } else {
                ++i;
            }
        }
        if ((fds[0].revents & POLLIN) && acceptOne(listener, opt, conns)) lastActivity = Clock::now();
    }
    for (auto& c : conns) {
        close(c->client);
        close(c->server);
    }
    close(listener);
    return 0;
}

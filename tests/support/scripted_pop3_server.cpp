#include "support/scripted_pop3_server.h"

#include "bytes/ascii.h"
#include "support/test_tls_context.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>
using namespace maildig;

namespace {

constexpr size_t kMaxClientLine = 1 << 20;

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == '\\')
            out += '\\';
        else if (c == 'x' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 &&
                 HexDigitValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]));
            i += 2;
        } else
            throw std::invalid_argument("bad escape in transcript: \\" + std::string(1, c));
    }
    return out;
}

// One accepted connection, plain or TLS, with its unread input.
struct Conn {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string in;
    bool eof = false;

    bool Open() const { return fd >= 0; }
    void Close() {
        if (ssl) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd >= 0) ::close(fd);
        fd = -1;
        in.clear();
        eof = false;
    }
};

} // namespace

Pop3Script Pop3Script::Parse(const std::string& transcript) {
    Pop3Script script;
    std::istringstream lines(transcript);
    std::string line;
    Pop3Step pending; // modifiers for the next reply
    bool inReply = false;
    auto flush = [&] {
        if (inReply) script.steps.push_back(pending);
        pending = Pop3Step{};
        inReply = false;
    };
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        auto arg = [&](size_t prefix) {
            return line.size() > prefix ? line.substr(prefix + 1) : std::string();
        };
        if (line.starts_with("S:")) {
            inReply = true;
            pending.text += arg(2) + "\r\n";
        } else if (line.starts_with("R:")) {
            inReply = true;
            pending.text += Unescape(arg(2));
        } else if (line.starts_with("C:")) {
            flush();
            Pop3Step s;
            s.kind = Pop3Step::Expect;
            s.text = arg(2);
            script.steps.push_back(s);
        } else if (line.starts_with("-- ")) {
            std::istringstream words(line.substr(3));
            std::string word;
            long number = 0;
            words >> word;
            if (word == "bytewise" || word == "delay" || word == "cut") {
                flush();
                if (word == "bytewise")
                    pending.bytewise = true;
                else if (!(words >> number) || number < 0)
                    throw std::invalid_argument("transcript: missing number in " + line);
                else if (word == "delay")
                    pending.delayMs = static_cast<int>(number);
                else
                    pending.cutAfter = number;
                continue;
            }
            Pop3Step s;
            if (word == "close")
                s.kind = Pop3Step::Close;
            else if (word == "accept")
                s.kind = Pop3Step::Accept;
            else if (word == "silent")
                s.kind = Pop3Step::Silent;
            else if (word == "stls")
                s.kind = Pop3Step::StartTls;
            else
                throw std::invalid_argument("transcript: unknown directive " + line);
            flush();
            script.steps.push_back(s);
        } else {
            throw std::invalid_argument("transcript: unknown line " + line);
        }
    }
    flush();
    return script;
}

Pop3Script Pop3Script::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read transcript " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return Parse(text.str());
}

ScriptedPop3Server::ScriptedPop3Server(const std::string& transcript, ScriptedPop3ServerOptions options)
    : ScriptedPop3Server(Pop3Script::Parse(transcript), std::move(options)) {}

ScriptedPop3Server::ScriptedPop3Server(Pop3Script script, ScriptedPop3ServerOptions options)
    : script_(std::move(script)), address_(options.address) {
    if (pipe(stopPipe_) != 0) throw std::runtime_error("pipe failed");
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(options.port);
    if (inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listenFd_, 8) != 0) {
        std::string why = std::strerror(errno);
        ::close(listenFd_);
        ::close(stopPipe_[0]);
        ::close(stopPipe_[1]);
        throw std::runtime_error("scripted POP3 server cannot listen on " + address_ + ":" +
                                 std::to_string(options.port) + ": " + why);
    }
    socklen_t len = sizeof sa;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { Run(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
    char c = 'x';
    if (write(stopPipe_[1], &c, 1) < 0) {
    }
    thread_.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

bool ScriptedPop3Server::WaitDone(int ms) {
    std::unique_lock lock(mutex_);
    return doneCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
}

std::vector<std::string> ScriptedPop3Server::ReceivedAhead() const {
    std::lock_guard lock(mutex_);
    return receivedAhead_;
}

std::vector<std::string> ScriptedPop3Server::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> ScriptedPop3Server::Errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

int ScriptedPop3Server::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

bool ScriptedPop3Server::ScriptFinished() const {
    std::lock_guard lock(mutex_);
    return scriptFinished_;
}

void ScriptedPop3Server::AddError(const std::string& message) {
    std::lock_guard lock(mutex_);
    errors_.push_back(message);
}

void ScriptedPop3Server::Record(const std::string& line) {
    std::lock_guard lock(mutex_);
    received_.push_back(line);
}

void ScriptedPop3Server::Run() {
    Conn conn;
    bool stopped = false;

    // Waits until fd is readable (or the server is told to stop); false on stop or time-out.
    auto waitFor = [&](int fd, int ms, short events = POLLIN) {
        pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {fd, events, 0}};
        int n = poll(fds, fd >= 0 ? 2 : 1, ms);
        if (n > 0 && fds[0].revents) stopped = true;
        return n > 0 && !stopped && fd >= 0 && fds[1].revents != 0;
    };
    auto pause = [&](int ms) { waitFor(-1, ms); };
    auto accept = [&] {
        conn.Close();
        if (!waitFor(listenFd_, -1)) return false;
        conn.fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn.fd < 0) return false;
        std::lock_guard lock(mutex_);
        ++connections_;
        return true;
    };
    auto sendBytes = [&](const char* p, size_t n) {
        if (conn.ssl) return n == 0 || SSL_write(conn.ssl, p, static_cast<int>(n)) > 0;
        while (n > 0) {
            // A client that stops reading must not keep the server from stopping.
            if (!waitFor(conn.fd, -1, POLLOUT)) return false;
            ssize_t w = ::send(conn.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    };
    // Reads the next client line (LF or CR LF ended); false at end of input or on stop.
    std::string putBack; // a line an optional Expect did not take
    bool hasPutBack = false;
    auto readLine = [&](std::string& line) {
        if (hasPutBack) {
            line = std::move(putBack);
            hasPutBack = false;
            return true;
        }
        for (;;) {
            size_t lf = conn.in.find('\n');
            if (lf != std::string::npos) {
                line = conn.in.substr(0, lf);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                conn.in.erase(0, lf + 1);
                return true;
            }
            if (conn.eof || !conn.Open() || conn.in.size() > kMaxClientLine) return false;
            if (!(conn.ssl && SSL_pending(conn.ssl) > 0) && !waitFor(conn.fd, -1)) return false;
            char buf[4096];
            ssize_t r = conn.ssl ? SSL_read(conn.ssl, buf, sizeof buf) : ::recv(conn.fd, buf, sizeof buf, 0);
            if (r <= 0)
                conn.eof = true;
            else
                conn.in.append(buf, static_cast<size_t>(r));
        }
    };
    auto recordRest = [&] {
        std::string line;
        if (!stopped && readLine(line)) {
            Record(line);
            AddError("unexpected line after the end of the script: " + line);
        }
    };

    bool failed = !accept();
    for (size_t i = 0; i < script_.steps.size() && !failed && !stopped; ++i) {
        const Pop3Step& step = script_.steps[i];
        switch (step.kind) {
        case Pop3Step::Send: {
            if (step.delayMs > 0) pause(step.delayMs);
            if (stopped || !conn.Open()) break;
            size_t n = step.cutAfter >= 0 ? std::min(step.text.size(), static_cast<size_t>(step.cutAfter))
                                          : step.text.size();
            if (step.bytewise) {
                for (size_t k = 0; k < n && !stopped; ++k) {
                    if (!sendBytes(&step.text[k], 1)) break;
                    pause(2);
                }
            } else {
                sendBytes(step.text.data(), n);
            }
            if (step.cutAfter >= 0) conn.Close();
            break;
        }
        case Pop3Step::Expect: {
            // Read before the reply just sent went out, the next line was sent without waiting for it.
            const bool ahead = i > 0 && script_.steps[i - 1].kind == Pop3Step::Send && !hasPutBack &&
                               conn.in.find('\n') != std::string::npos;
            std::string line;
            if (!readLine(line)) {
                if (!stopped) AddError("the client sent nothing more; expected: " + step.text);
                failed = true;
                break;
            }
            bool match = step.text.ends_with("*")
                             ? line.starts_with(std::string_view(step.text).substr(0, step.text.size() - 1))
                             : line == step.text;
            if (!match && step.optional) {
                putBack = std::move(line);
                hasPutBack = true;
                while (i + 1 < script_.steps.size() &&
                       !(script_.steps[i + 1].kind == Pop3Step::Expect && !script_.steps[i + 1].optional))
                    ++i;
                break;
            }
            Record(line);
            if (ahead) {
                std::lock_guard lock(mutex_);
                receivedAhead_.push_back(line);
            }
            if (!match) {
                AddError("expected \"" + step.text + "\", the client sent \"" + line + "\"");
                failed = true;
            }
            break;
        }
        case Pop3Step::Close:
            conn.Close();
            break;
        case Pop3Step::Accept:
            if (!accept() && !stopped) {
                AddError("no further connection came");
                failed = true;
            }
            break;
        case Pop3Step::Silent: {
            std::string line;
            while (!stopped && readLine(line))
                Record(line);
            break;
        }
        case Pop3Step::StartTls: {
            if (!conn.Open()) break;
            timeval tv{10, 0};
            setsockopt(conn.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            conn.ssl = SSL_new(TestServerTlsContext());
            SSL_set_fd(conn.ssl, conn.fd);
            if (!conn.in.empty() || SSL_accept(conn.ssl) != 1) {
                AddError("TLS handshake as server failed");
                ERR_clear_error();
                failed = true;
            }
            break;
        }
        }
    }
    if (!failed && !stopped) {
        {
            std::lock_guard lock(mutex_);
            scriptFinished_ = true;
        }
        recordRest();
    }
    // Whatever the client still pipelined is recorded too, for the test to see.
    std::string line;
    while (conn.Open() && !conn.eof && (hasPutBack || conn.in.find('\n') != std::string::npos) &&
           readLine(line))
        Record(line);
    conn.Close();
    std::lock_guard lock(mutex_);
    done_ = true;
    doneCv_.notify_all();
}

// A POP3 server for tests: runs in a thread on a loopback address, plays a script of expected client lines
// and reply bytes, and records every line the client sent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One step of a script. The server runs the steps in order on the current connection.
struct Pop3Step {
    enum Kind {
        Send,   // send bytes (honouring bytewise/delayMs/cutAfter)
        Expect, // read the next client line (as it arrives, pipelined or not) and compare it with text
        Close,  // close the current connection
        Accept, // wait for the next connection
        Silent, // answer nothing more: keep reading and recording until the client closes or the server stops
        StartTls, // TLS handshake as server on the current connection (needs a TLS-capable build of the
                  // server)
    };
    Kind kind = Send;
    std::string text; // Send: the bytes; Expect: the expected line (a trailing "*" matches any rest of line)
    bool bytewise = false; // Send: one byte per write, 2 ms apart
    int delayMs = 0;       // Send: wait this long first
    long cutAfter = -1;    // Send: send only this many bytes, then close the connection (-1: send all)
    // Expect: the client may send something else instead. Then this step and every step up to the next Expect
    // that is not optional are skipped, and that Expect gets the line (for commands a client may or may not
    // pipeline ahead, each with its reply).
    bool optional = false;
};

// A script is a list of steps. The server accepts the first connection before the first step. After the last
// step it waits for the client to close; a further client line is recorded, counts as an error and ends the
// session, as does a line that differs from the expected one.
// Transcript text, one directive per line (blank lines and lines starting with "#" are ignored):
//   S: text        reply line: text + CR LF (consecutive S: lines form one reply, sent in one burst)
//   R: text        raw reply bytes with escapes \r \n \t \\ \xHH, no line end added
//   C: text        the client line expected next (without its line end); "C: APOP user *" matches a prefix
//   -- bytewise    the next reply goes out one byte at a time
//   -- delay MS    the next reply waits MS milliseconds first
//   -- cut N       only the first N bytes of the next reply are sent, then the connection is closed
//   -- close       close the connection
//   -- accept      wait for the next connection
//   -- silent      never answer again (the client sees a server that accepted and says nothing)
//   -- stls        TLS handshake as server now (after the pending reply went out)
struct Pop3Script {
    std::vector<Pop3Step> steps;

    static Pop3Script Parse(const std::string& transcript); // throws std::invalid_argument on a bad directive
    static Pop3Script Load(const std::string& path);        // Parse of a file; throws on a missing file
};

struct ScriptedPop3ServerOptions {
    std::string address = "127.0.0.1"; // any 127.x.y.z
    uint16_t port = 0;                 // 0: an ephemeral port
};

class ScriptedPop3Server {
  public:
    // Binds and listens at once (throws std::runtime_error when it cannot), then plays the script in a
    // thread.
    explicit ScriptedPop3Server(Pop3Script script, ScriptedPop3ServerOptions options = {});
    ScriptedPop3Server(const std::string& transcript, ScriptedPop3ServerOptions options = {});
    ~ScriptedPop3Server(); // stops the thread and closes every socket
    ScriptedPop3Server(const ScriptedPop3Server&) = delete;
    ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

    const std::string& Address() const { return address_; }
    uint16_t Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // Waits until the script has ended (all steps done and the client closed, or a failure), at most ms.
    bool WaitDone(int ms = 10000);
    // Every line the client sent, in order, over all connections (line ends removed).
    std::vector<std::string> Received() const;
    // The lines that had already arrived when the reply before them went out: sent ahead of that reply.
    std::vector<std::string> ReceivedAhead() const;
    // Failures: unexpected or extra client lines, a client that closed before the script ended, ...
    std::vector<std::string> Errors() const;
    bool Ok() const { return Errors().empty(); }
    int Connections() const;     // connections accepted so far
    bool ScriptFinished() const; // every step ran

  private:
    void Run();
    void AddError(const std::string& message);
    void Record(const std::string& line);

    Pop3Script script_;
    std::string address_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::condition_variable doneCv_;
    bool done_ = false;
    bool scriptFinished_ = false;
    int connections_ = 0;
    std::vector<std::string> received_;
    std::vector<std::string> receivedAhead_;
    std::vector<std::string> errors_;
    std::thread thread_;
};

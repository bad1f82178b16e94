// Starts a private Dovecot POP3 instance on a loopback address for integration tests
// (tools/dovecot_instance.py), with its own configuration and state in the build tree, and stops it again in
// the destructor.
#pragma once

#include <string>

struct DovecotOptions {
    std::string address = "127.0.0.2"; // the loopback address to listen on
    int plainPort = 110;               // 0: no plain-text listener
    int tlsPort = 995;                 // 0: no implicit-TLS listener
    bool stls = true;                  // offer STLS on the plain port
    bool apop = false;                 // greet with an APOP time stamp and accept APOP
    std::string user = "tester";
    std::string password = "secret";
    std::string mbox;      // mbox file; a relative name is taken from tests/data
    std::string cert, key; // PEM certificate chain and key to serve; empty: a self-signed one
    std::string name;      // state folder name under the scratch folder; default from the address
};

class DovecotInstance {
  public:
    // Why instances cannot run here (not root, no dovecot binary, no python3, no openssl), or empty when they
    // can.
    static std::string Unavailable();

    explicit DovecotInstance(DovecotOptions options);
    ~DovecotInstance(); // stops the instance when it was started
    DovecotInstance(const DovecotInstance&) = delete;
    DovecotInstance& operator=(const DovecotInstance&) = delete;

    // Starts it; false with Error() set when starting failed.
    bool Start();
    void Stop();
    bool Running() const { return running_; }
    const std::string& Error() const { return error_; }
    const std::string& Dir() const { return dir_; }
    const DovecotOptions& Options() const { return options_; }
    // The instance's log (logins name their method, e.g. "method=APOP", and the server name the client sent,
    // "sni=<...>") and the user's mbox in the store.
    std::string Log() const;
    std::string InboxPath() const;

  private:
    DovecotOptions options_;
    std::string dir_;
    std::string error_;
    bool running_ = false;
};

// In a test body: skips the test (GTEST_SKIP with the reason) when Dovecot cannot run here, and fails when
// the instance does not start.
#define MAILDIG_START_DOVECOT(instance)                                                                      \
    do {                                                                                                     \
        std::string why_ = DovecotInstance::Unavailable();                                                   \
        if (!why_.empty()) GTEST_SKIP() << why_;                                                             \
        ASSERT_TRUE((instance).Start()) << (instance).Error();                                               \
    } while (0)

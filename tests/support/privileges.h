// What the test process may do here: suites that listen on port 110 or run a private Dovecot need root and
// skip (reported as skipped, never as passed) without it.
#pragma once

#include <unistd.h>

inline bool RunningAsRoot() {
    return ::geteuid() == 0;
}

// Skips the current test unless it may listen on port 110, the plain-text POP3 port.
#define REQUIRE_PORT_110()                                                                                   \
    do {                                                                                                     \
        if (!RunningAsRoot()) GTEST_SKIP() << "needs root to listen on port 110 (the plain-text port)";      \
    } while (0)

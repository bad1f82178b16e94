// Runs an executable (or a function in a forked child) and captures its exit code, standard output and
// standard error byte for byte, for black-box tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct RunOptions {
    std::string stdinData;            // written to the child's standard input, which is then closed
    std::string workDir;              // working directory of the child; empty keeps the current one
    int timeoutSeconds = 60;          // the child is killed (SIGKILL) when it runs longer
    std::function<void()> childSetUp; // runs in the child just before exec or body (limits, environment)
    bool stdoutTerminal = false;      // standard output is a pseudo-terminal (raw: bytes arrive as written)
};

struct RunResult {
    int exitCode = -1; // exit status, or -1 when the child was killed by a signal or could not start
    int signal = 0;    // the signal that ended the child, 0 when it exited
    bool timedOut = false;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs exe with args (argv[0] is exe itself). The environment is inherited.
RunResult runProgram(const std::string& exe, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// Runs body in a forked child with its standard output and error captured; exit code 0 when body returns.
// Meant for code that ends the process (quit, fatal reports). Only safe while the test has no other threads.
RunResult runInChild(const std::function<void()>& body, const RunOptions& options = {});

// The built maildig executable run with args.
RunResult runMaildig(const std::vector<std::string>& args, const RunOptions& options = {});

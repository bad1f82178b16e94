// The exit-code table and quit.
#include "cli/quit.h"

#include <cstdio>
#include <cstdlib>

namespace maildig {

namespace {

// Message of each code; "%s" marks where the extra text goes (only for the codes that take one).
constexpr const char* exitMessages[maxExitCode + 1] = {
    "No Error.",
    "No matching message found. ",
    "One of the arguments is missing required subparm. ",
    "Uknown error passed to quit: %s",
    "parseCmdLine case out of range: %s",
    "--login port must be numeric.",
    "Incorrect --action: %s",
    "You must specify a string or UID to find.",
    "You cannot specify --config and --login together",
    "sslDoConnect failed. SSL problem.%s",
    ("Login to mailbox failed. Check --login parameters.\nAlso use --verbose to verify parameters were "
     "parsed "
     "properly."),
    "POP3 Server must support the CAPA and UIDL commands.",
    "UIDL command to POP server failed.",
    "case action statement out of range",
    "Unable to parse --maxsize subparm: %s",
    "POP2 server must support TOP command.",
    "Range subparm incorrect: %s",
    "Unable to delete message from POP server.",
    "Unable to access config file %s",
    "Unable to write config file %s",
    "POP UIDL command returned something unexpected: %s",
    "File %s appears to be corrupted.",
    "--login parameters wrong. Use -h for help.",
    "Connection to the POP server was lost: %s",
    "Password command failed.%s",
};

void writeErr(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stderr);
}

} // namespace

void quit(int code, const std::string& text, bool verbose) {
    // Results already written to standard output come before the message, so that both streams keep the
    // program's order when they go to the same place.
    std::fflush(stdout);
    writeErr("\n");
    if (static_cast<unsigned>(code) > static_cast<unsigned>(maxExitCode))
        quit(3, std::to_string(code), verbose);
    std::string message = exitMessages[code];
    if (auto at = message.find("%s"); at != std::string::npos) message.replace(at, 2, text);
    writeErr(message + "\n\n");
    if (verbose) writeErr("  Exiting with exitcode set to " + std::to_string(code) + "\n");
    std::fflush(stderr);
    std::exit(code);
}

} // namespace maildig

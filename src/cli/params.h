// The parameter record of one run and the command-line parser that fills and checks it.
#pragma once

#include <string>

#include "search/outcome.h"

namespace maildig {

// Bound of |maxSize| (kilobytes): maxSize * 1000 always fits a 32-bit signed integer.
constexpr int maxSizeLimit = 2147483647 / 1000;

enum TAction { find_action, view_action, delete_action, help_action, version_action, write_action };
enum TRange { range_first, range_all };

struct TParams {
    std::string SearchStr;
    std::string configFname;
    std::string host;
    std::string user;
    std::string pass;
    int port = 110;
    TAction action = find_action;
    std::string fromaddr;
    std::string toaddr;
    std::string subject;
    TRange range = range_first;
    std::string writeFname;
    bool verbose = false;
    int maxSize = 10;
    // Beyond the classic options, each only in effect when given.
    bool verify = false;  // --verify, also set by --verify-ca
    std::string verifyCA; // --verify-ca: trust this PEM file instead of the system's store
    std::string passCmd;  // --passcmd: the password is the first line this shell command prints

    bool keepHeads = false; // --keep-heads: keep the heads fetched, and take them from there
    bool oauth = false;     // --oauth: the password is an OAuth2 access token (SASL OAUTHBEARER or XOAUTH2)
};

// Resets params to its defaults, reads the options and positional words of argv (argv is permuted), checks
// the combination and reads the config file named by --config. A failure stops at the option that caused it
// (params then holds what was read before it, --verbose included).
TOutcome parseCmdLine(int argc, char* argv[], TParams& params);

// The values of --login, --action and --range, exactly as given: stored into params, or the failure.
TOutcome parseLogin(const std::string& value, TParams& params);
TOutcome parseAction(const std::string& value, TParams& params);
TOutcome parseRange(const std::string& value, TParams& params);

// Names printed by the verbose dump ("find_action", ..., "range_first", "range_all").
const char* actionName(TAction action);
const char* rangeName(TRange range);

} // namespace maildig

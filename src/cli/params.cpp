// The command line: options read with getopt_long, positional words joined into the search string, and the
// checks that run once all options are read.
#include "cli/params.h"

#include "cli/config_file.h"
#include "strutil/strutil.h"

#include <algorithm>
#include <getopt.h>
#include <vector>

namespace maildig {

namespace {

// Values getopt_long returns for the long options without a short form.
enum : int {
    opt_version = 256,
    opt_verbose,
    opt_uid,
    opt_verify,
    opt_verify_ca,
    opt_passcmd,
    opt_keep_heads,
    opt_oauth
};

// The leading "-" hands every positional word back in order (as code 1), so that options and words may be
// mixed even when POSIXLY_CORRECT is set in the environment.
constexpr const char* shortOptions = "-hc:l:a:f:t:s:u:r:w:dvm:";
constexpr int positionalWord = 1;

const option longOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, opt_version},
    {"config", required_argument, nullptr, 'c'},
    {"login", required_argument, nullptr, 'l'},
    {"action", required_argument, nullptr, 'a'},
    {"from", required_argument, nullptr, 'f'},
    {"to", required_argument, nullptr, 't'},
    {"subject", required_argument, nullptr, 's'},
    {"uid", required_argument, nullptr, opt_uid},
    {"range", required_argument, nullptr, 'r'},
    {"write", required_argument, nullptr, 'w'},
    {"verbose", no_argument, nullptr, opt_verbose},
    {"maxsize", required_argument, nullptr, 'm'},
    {"verify", no_argument, nullptr, opt_verify},
    {"verify-ca", required_argument, nullptr, opt_verify_ca},
    {"passcmd", required_argument, nullptr, opt_passcmd},
    {"keep-heads", no_argument, nullptr, opt_keep_heads},
    {"oauth", no_argument, nullptr, opt_oauth},
    {nullptr, 0, nullptr, 0},
};

TOutcome applyOption(int opt, const std::string& arg, TParams& params) {
    switch (opt) {
    case 'h':
        params.action = help_action;
        break;
    case opt_version:
        params.action = version_action;
        break;
    case 'c':
        params.configFname = str_trim(arg);
        break;
    case 'l':
        return parseLogin(arg, params);
    case 'a':
        return parseAction(arg, params);
    case 'f':
        params.fromaddr = str_trim(arg);
        break;
    case 't':
        params.toaddr = str_trim(arg);
        break;
    case 's':
        params.subject = str_trim(arg);
        break;
    case 'r':
        return parseRange(arg, params);
    case 'w':
        params.action = write_action;
        params.writeFname = str_trim(arg);
        break;
    case 'd':
        params.action = delete_action;
        break;
    case 'v':
        params.action = view_action;
        break;
    case opt_verbose:
        params.verbose = true;
        break;
    case opt_keep_heads:
        params.keepHeads = true;
        break;
    case 'm':
        if (!str_is_integer(str_trim(arg))) return {14, arg};
        params.maxSize = std::clamp(str_to_int(str_trim(arg)), -maxSizeLimit, maxSizeLimit);
        break;
    case opt_uid:
        // Accepted with its value; it selects nothing.
        break;
    case opt_verify:
        params.verify = true;
        break;
    case opt_verify_ca:
        // An empty file name would quietly mean the system's store: it is a missing argument.
        if (str_trim(arg).empty()) return {2};
        params.verify = true;
        params.verifyCA = str_trim(arg);
        break;
    case opt_passcmd:
        if (str_trim(arg).empty()) return {2};
        params.passCmd = arg;
        break;
    case opt_oauth:
        params.oauth = true;
        break;
    case '?':
    case ':':
        return {2};
    default:
        // An option letter of the grammar without a handler (-u).
        return {4, std::string(1, static_cast<char>(opt)) + "(" + std::to_string(opt) + ")"};
    }
    return {};
}

TOutcome checkParams(TParams& params) {
    if (params.action == help_action || params.action == version_action) return {};
    // With --passcmd the password comes from the command, so the login's may be empty.
    const bool loginComplete =
        !params.host.empty() && !params.user.empty() && (!params.pass.empty() || !params.passCmd.empty());
    if ((params.action == view_action || params.action == delete_action) && params.SearchStr.empty())
        return {7};
    if (!params.host.empty() && !params.configFname.empty()) return {8};
    if (params.configFname.empty() && !loginComplete) return {22};
    if (!params.writeFname.empty() && !loginComplete) return {22};
    if (!params.configFname.empty()) return readConfig(params);
    return {};
}

} // namespace

TOutcome parseCmdLine(int argc, char* argv[], TParams& params) {
    params = TParams{};
    optind = 0; // full re-initialisation of getopt for every parse
    std::string words;
    int opt;
    while ((opt = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1) {
        if (opt == positionalWord) {
            words += std::string(optarg) + ' ';
        } else {
            TOutcome outcome = applyOption(opt, optarg != nullptr ? optarg : "", params);
            if (!outcome.Ok()) return outcome;
        }
    }
    for (int i = optind; i < argc; ++i) // the words after "--"
        words += std::string(argv[i]) + ' ';
    params.SearchStr = str_trim(words);
    return checkParams(params);
}

TOutcome parseLogin(const std::string& value, TParams& params) {
    std::vector<std::string> fields;
    str_delimit_TSL(value, ",", "'", fields);
    if (fields.size() < 3 || fields.size() > 4) return {22};
    params.host = fields[0];
    params.user = fields[1];
    params.pass = fields[2];
    if (fields.size() == 4) {
        if (!str_is_integer(fields[3])) return {5};
        params.port = str_to_int(fields[3]);
    }
    return {};
}

TOutcome parseAction(const std::string& value, TParams& params) {
    const std::string v = str_lower(value);
    if (v == "view")
        params.action = view_action;
    else if (v == "find")
        params.action = find_action;
    else if (v == "delete")
        params.action = delete_action;
    else
        return {6, value};
    return {};
}

TOutcome parseRange(const std::string& value, TParams& params) {
    const std::string v = str_lower(value);
    if (v == "first")
        params.range = range_first;
    else if (v == "all")
        params.range = range_all;
    else
        return {16, value};
    return {};
}

const char* actionName(TAction action) {
    switch (action) {
    case find_action:
        return "find_action";
    case view_action:
        return "view_action";
    case delete_action:
        return "delete_action";
    case help_action:
        return "help_action";
    case version_action:
        return "version_action";
    case write_action:
        return "write_action";
    }
    return "";
}

const char* rangeName(TRange range) {
    return range == range_all ? "range_all" : "range_first";
}

} // namespace maildig

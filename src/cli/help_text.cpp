// The verbose dump, the help text and the version block.
#include "cli/help_text.h"

#include "cli/params.h"

#include <cstdio>
#include <string>

namespace maildig {

namespace {

constexpr const char* helpText = R"(
maildig {<searchstr>|<uid>}
    -a | --action  {find | view | delete}
    -c | --config  <fname>
    -d             Same as --action delete
    -f | --from    <str>
    -h | --help
         --keep-heads Keep the heads fetched in ~/.cache/maildig
    -l | --login   <host>,<user>,<pass>[,<port>]
    -m | --maxsize <kb>
         --oauth   Password is an OAuth2 access token (SASL)
         --passcmd <command>  Password: first line the command prints
    -r | --range   {first | all}
    -s | --subject <str>
    -t | --to      <str>
    -v             Same as --action view
         --verbose Enable debugging
         --verify  Verify the server's certificate and name
         --verify-ca <file>   Same, trusting the certificates in <file>
         --version 
    -w | --write   <fname>

Searches email on a POP server for <searchStr> in subject or body.
If found, returns <uid> (unique identifier) of message. If not found
prints nothing.

Additional criteria --from, --to, and --subject can be used, further filtering
possible candidate messages.

All criteria strings are case insensitive.

--action find is default. view or delete can be used instead on a single <uid>.

--range first is default and returns only first matching message. All returns
all matching messages.

--maxsize 10 is default and reads only the first 10K bytes of each message.
This reduces time spent downloading messages with large attachments.

--keep-heads keeps what is read of each message in a local cache
($XDG_CACHE_HOME/maildig, or ~/.cache/maildig), and later runs with
--keep-heads read it from there instead of the server.

Typically --login must be supplied. --login and --write will create
config file. Then --config can be used instead of --login.

Examples:

maildig -l pop.example.com,someone@example.com,password,995 abc
    Search mbx for msg with "abc" in subject or body.
maildig -l pop.example.com,someone@example.com,password,995 --write mail.cfg
    Create config file with login parameters. SECURE this file!
maildig -c mail.cfg -f bob --range all
    Finds all messasges from "bob"
maildig -c mail.cfg -f bob -t alfred -s "big subject" crackers
    Finds message from bob AND to alfred AND with subject "big subject"
    and body with "crackers".
maildig -c mail.cfg
    Matches first message found (no criteria)
maildig -c cfg.cfg --range=all
    Matches all messages (no criteria)

For more information on maildig, go to 
  https://www.example.com/maildig

You can contact the author at 
   https://www.example.org/author

)";

void writeOut(std::FILE* f, const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), f);
}

} // namespace

void printParams(const TParams& params) {
    std::string dump = "\nParsed Paramters:\n";
    auto line = [&dump](const char* label, const std::string& value) { dump += label + value + "\n"; };
    line("  SearchStr:               ", params.SearchStr);
    line("  configFname:             ", params.configFname);
    line("  host:                    ", params.host);
    line("  user:                    ", params.user);
    // A token is a password too, but never shown: only its length.
    line("  pass:                    ", params.oauth && !params.pass.empty()
                                            ? "(a token of " + std::to_string(params.pass.size()) + " bytes)"
                                            : params.pass);
    line("  port:                    ", std::to_string(params.port));
    line("  action:                  ", actionName(params.action));
    line("  fromaddr:                ", params.fromaddr);
    line("  toaddr:                  ", params.toaddr);
    line("  subject:                 ", params.subject);
    line("  range :                  ", rangeName(params.range));
    line("  writeFname:              ", params.writeFname);
    line("  verbose:                 ", params.verbose ? "TRUE" : "FALSE");
    line("  maxSize                  ", std::to_string(params.maxSize));
    // The settings beyond the classic ones, each only when given (never the password command's output).
    if (params.verify) line("  verify:                  ", "TRUE");
    if (!params.verifyCA.empty()) line("  verifyCA:                ", params.verifyCA);
    if (!params.passCmd.empty()) line("  passCmd:                 ", "(set)");
    if (params.oauth) line("  oauth:                   ", "TRUE");
    dump += "\n";
    writeOut(stderr, dump);
}

void printHelp() {
    writeOut(stdout, helpText);
}

void printVersion() {
    writeOut(stdout, "\nmaildig Version 1.0.0. Compiled on 2015/03/05 14:36:26.\n\n");
}

} // namespace maildig

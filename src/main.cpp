// The maildig executable: start-up, one action per run, and the exit code.
#include "cli/config_file.h"
#include "cli/help_text.h"
#include "cli/params.h"
#include "cli/password_command.h"
#include "cli/quit.h"
#include "mime/basic/mail_dates.h"
#include "net/ssl_openssl.h"
#include "search/mailbox.h"
#include "search/message_search.h"
#include "search/outcome.h"
#include "search/view_delete.h"
using namespace maildig;

namespace {

// The mailbox actions: log in, list the UIDs, run find, view or delete, and end the session with QUIT.
// A failure ends the run without QUIT, so a failed run never commits a deletion.
TOutcome runMailboxAction(const TParams& params) {
    TLogin login{params.host,   params.user,     params.pass, params.port,
                 params.verify, params.verifyCA, params.oauth};
    // Everything that can fail before the server is reached does so before the password is asked for.
    TOutcome outcome = checkVerifySettings(login);
    if (outcome.Ok() && !params.passCmd.empty()) outcome = readPasswordCommand(params.passCmd, login.Pass);
    if (!outcome.Ok()) return outcome;
    TMailbox box;
    if (params.keepHeads)
        box.Heads = THeadCache::Open(THeadStore::DefaultFolder(), params.host, params.port, params.user,
                                     fetchLines(params.maxSize), params.verbose);
    // A find walk starts with the first messages: their TOP commands may go out with the listing.
    const std::size_t prefetch = params.action == find_action ? TPOP3Send::kFirstWindow : 0;
    outcome = openMailbox(box, login, params.verbose, prefetch, fetchLines(params.maxSize));
    if (outcome.Ok())
        outcome = getMessageList(box, params.verbose, params.action == find_action ? "" : params.SearchStr);
    if (!outcome.Ok()) return outcome;
    const TUidRequest request{params.SearchStr, params.maxSize, params.verbose};
    switch (params.action) {
    case find_action:
        outcome = findMessages(
            box, {params.fromaddr, params.toaddr, params.subject, params.SearchStr, params.verbose},
            params.maxSize, params.range == range_all);
        break;
    case view_action:
        outcome = viewByUid(box, request);
        break;
    case delete_action:
        outcome = deleteByUid(box, request);
        break;
    default:
        outcome = {13};
    }
    if (box.Heads && params.verbose) box.Heads->Report();
    if (!outcome.Ok()) return outcome;
    // The server removes a message marked with DELE only when it acknowledges QUIT; anything else means the
    // message is still there.
    const bool committed = box.Pop.CloseSession().Ok();
    if (params.action == delete_action && !committed) return {17};
    if (params.action == delete_action && box.Heads) box.Heads->Forget(params.SearchStr);
    return {};
}

TOutcome runAction(const TParams& params) {
    switch (params.action) {
    case help_action:
        printHelp();
        return {};
    case version_action:
        printVersion();
        return {};
    case write_action:
        return writeConfig(params);
    default:
        return runMailboxAction(params);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // Start-up: OpenSSL (TLS for every socket made from now on, when the library loads) and the user's locale
    // with its month names for the date parser.
    StartNetwork();
    InitMonthNames();

    TParams params;
    TOutcome outcome = parseCmdLine(argc, argv, params);
    if (outcome.Ok()) {
        if (params.verbose) printParams(params);
        outcome = runAction(params);
    }
    if (!outcome.Ok()) quit(outcome.Code, outcome.Text, params.verbose);
    StopNetwork();
    return 0;
}

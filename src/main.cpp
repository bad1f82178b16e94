// The maildig executable: start-up, one action per run, and the exit code.
#include "cli/config_file.h"
#include "cli/help_text.h"
#include "cli/params.h"
#include "cli/quit.h"
#include "mime/basic/mail_dates.h"
#include "net/ssl_openssl.h"
#include "search/mailbox.h"
#include "search/message_search.h"
#include "search/view_delete.h"

namespace {

// The mailbox actions: log in, list the UIDs, run find, view or delete, and end the session with QUIT.
// Every failure ends the process inside quit, without QUIT, so a failed run never commits a deletion.
int runMailboxAction() {
    openMailbox();
    getMessageList();
    switch (params.action) {
    case find_action:
        findMessages();
        break;
    case view_action:
        viewByUid();
        break;
    case delete_action:
        deleteByUid();
        break;
    default:
        quit(13);
    }
    const bool committed = pop->CloseSession();
    pop.reset();
    // The server removes a message marked with DELE only when it acknowledges QUIT; anything else means the
    // message is still there.
    if (params.action == delete_action && !committed) quit(17);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // Start-up: OpenSSL (TLS for every socket made from now on, when the library loads) and the user's locale
    // with its month names for the date parser.
    StartNetwork();
    InitMonthNames();

    parseCmdLine(argc, argv);
    if (params.verbose) printParams();

    int code = 0;
    switch (params.action) {
    case help_action:
        printHelp();
        break;
    case version_action:
        printVersion();
        break;
    case write_action:
        writeConfig();
        break;
    default:
        code = runMailboxAction();
    }
    StopNetwork();
    return code;
}

// The maildig executable: start-up, one action per run, and the exit code.
#include "cli/config_file.h"
#include "cli/help_text.h"
#include "cli/params.h"

#include <cstdio>

namespace {

// Exit code of a mailbox action that this build cannot run yet (outside quit's table of 0 to 22).
constexpr int actionUnavailableCode = 23;

// The mailbox actions: open the mailbox, run find, view or delete, close the session.
int runMailboxAction() {
    std::fputs("maildig: this action is not available in this build.\n", stderr);
    return actionUnavailableCode;
}

} // namespace

int main(int argc, char* argv[]) {
    // --- Start-up: socket interface, OpenSSL loading and the month-name table go here. ---

    parseCmdLine(argc, argv);
    if (params.verbose) printParams();

    switch (params.action) {
    case help_action:
        printHelp();
        return 0;
    case version_action:
        printVersion();
        return 0;
    case write_action:
        writeConfig();
        return 0;
    default:
        return runMailboxAction();
    }
}

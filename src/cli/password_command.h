// The password of a run taken from a command the user names (--passcmd): a password manager, a keyring, a
// helper that prints a fresh token, so that no secret stands on the command line.
#pragma once

#include <string>

#include "search/outcome.h"

namespace maildig {

// Runs command with /bin/sh -c, its standard input, standard error and terminal left to the user (it may
// prompt), and takes the first line of its standard output, without CR or LF, as password; the rest of the
// output is read and dropped. Fails with 24 and, on a line of its own, the command's exit status, when it
// cannot be run, ends other than with status 0 or prints no line (or an empty one).
TOutcome readPasswordCommand(const std::string& command, std::string& password);

} // namespace maildig

// The single exit routine of the program's own logic: writes the exit code's message on standard error
// and ends the process with that code.
#pragma once

#include <string>

namespace maildig {

// Highest code that quit knows; any other code is reported as code 3.
constexpr int maxExitCode = 24;

// Writes an empty line, the message of code (with text where the code takes one), an empty line and, with
// verbose, "  Exiting with exitcode set to N"; then ends the process with code. Never returns.
[[noreturn]] void quit(int code, const std::string& text, bool verbose);

} // namespace maildig

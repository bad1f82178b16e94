// The texts of the driver: the verbose dump of the parsed parameters, the help and the version.
#pragma once

#include "cli/params.h"

namespace maildig {

// Dump of params on standard error (used with --verbose).
void printParams(const TParams& params);

// Help text (68 lines) on standard output.
void printHelp();

// Version block on standard output.
void printVersion();

} // namespace maildig

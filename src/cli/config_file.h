// The configuration file: host, user and password scrambled with ROT47 and the port in decimal,
// four lines ended by CR LF.
#pragma once

#include "cli/params.h"
#include "search/outcome.h"

namespace maildig {

// Writes host, user, pass and port of params to params.writeFname (mode 0600, replacing any old file only
// once the new one is complete; with oauth the password field stays empty); fails with 19.
TOutcome writeConfig(const TParams& params);

// Replaces host, user, pass and port of params with the contents of params.configFname; fails with 18 when
// the file cannot be read, with 21 when it does not hold exactly four lines.
TOutcome readConfig(TParams& params);

} // namespace maildig

// The configuration file: host, user and password scrambled with ROT47 and the port in decimal,
// four lines ended by CR LF.
#pragma once

// Writes host, user, pass and port of params to params.writeFname (mode 0600, replacing any old file only
// once the new one is complete); quit(19) on failure.
void writeConfig();

// Replaces host, user, pass and port of params with the contents of params.configFname; quit(18) when the
// file cannot be read, quit(21) when it does not hold exactly four lines.
void readConfig();
